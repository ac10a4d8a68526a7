// QuorvexLumenPlug, the camera's agent: feeds frames to the virtual camera
// (feed) and captures them back the way a capturing application does
// (capture).
//
// The program declares its main bundle with the agent's identifier: the
// camera reads its logging settings ("orvid_log_level", "orvid_log_path")
// from that identifier's preferences, and it opens only in a process whose
// executable is named QuorvexLumenPlug.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "platform/bundle.h"
#include "tools/QuorvexLumenPlug/commands.h"

PLATFORM_MAIN_BUNDLE("com.quorvex.LumenPlug", nullptr);

namespace {

bool standard_input_closed = false;

// Fills descriptors 0 to 2 with /dev/null where they are closed; see
// StandardInputWasClosed.
void FillStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    if (fd == STDIN_FILENO) standard_input_closed = true;
    const int null_fd = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    // open takes the lowest free number, which is fd itself.
    if (null_fd >= 0 && null_fd != fd) close(null_fd);
  }
}

const char kHelp[] =
    "Usage: QuorvexLumenPlug COMMAND [options]\n"
    "\n"
    "The agent of the virtual camera \"Quorvex Camera Adapter 0\".\n"
    "\n"
    "Commands:\n"
    "  feed      feed frames to the camera: a moving test pattern, or a YUV4MPEG2\n"
    "            file or stream (ffmpeg ... -f yuv4mpegpipe -pix_fmt yuv420p -)\n"
    "  capture   capture frames from the camera as an application does, into a\n"
    "            YUV4MPEG2 file or stream and a PNG snapshot\n"
    "  publish   publish the camera to PipeWire, where browsers, video-call\n"
    "            programs, OBS and GStreamer find it\n"
    "  names     print the names of the camera's semaphore and shared memory\n"
    "\n"
    "Run 'QuorvexLumenPlug COMMAND --help' for a command's options, and\n"
    "'QuorvexLumenPlug --version' for the version.\n";

}  // namespace

bool lumenplug::StandardInputWasClosed() { return standard_input_closed; }

int main(int argc, char** argv) {
  FillStandardDescriptors();
  if (argc < 2) {
    fputs(kHelp, stderr);
    return lumenplug::kExitUsage;
  }
  const std::string command = argv[1];
  if (command == "--version") {
    puts("QuorvexLumenPlug " QUORVEX_VERSION);
    return lumenplug::kExitOk;
  }
  if (command == "--help" || command == "-h" || command == "help") {
    fputs(kHelp, stdout);
    return lumenplug::kExitOk;
  }
  if (command == "feed") return lumenplug::RunFeed(argc - 1, argv + 1);
  if (command == "capture") return lumenplug::RunCapture(argc - 1, argv + 1);
  if (command == "names") return lumenplug::RunNames(argc - 1, argv + 1);
  if (command == "publish") {
#ifdef QUORVEX_HAVE_PIPEWIRE
    return lumenplug::RunPublish(argc - 1, argv + 1);
#else
    fputs(
        "QuorvexLumenPlug: this build has no publish command: it was built without "
        "PipeWire's development files (libpipewire-0.3-dev)\n",
        stderr);
    return lumenplug::kExitFailure;
#endif
  }
  fprintf(stderr, "QuorvexLumenPlug: unknown command \"%s\"\nTry 'QuorvexLumenPlug --help'.\n",
          command.c_str());
  return lumenplug::kExitUsage;
}
