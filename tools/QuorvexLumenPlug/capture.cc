// The capture command: a capturing application. Loads the camera through the
// component manager and makes the calls a capturing application makes, in
// the order it makes them: open, compression and image description, frame
// rate, digitizer rectangle, capture start, then request / poll / release
// cycles for every frame, capture stop, close. Frames go to a YUV4MPEG2 file
// or standard output and, for one of them, to a PNG snapshot.
//
// Signals: SIGINT, SIGTERM and SIGHUP end the capture loop at the next poll,
// so the camera is always told that capture stops and is closed.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "orvid/sharedframearea.h"
#include "platform/components.h"
#include "platform/imagedescription.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "tools/QuorvexLumenPlug/commands.h"
#include "tools/QuorvexLumenPlug/options.h"
#include "tools/QuorvexLumenPlug/png.h"
#include "tools/QuorvexLumenPlug/y4m.h"

namespace lumenplug {

namespace {

const char kCaptureHelp[] =
    "Usage: QuorvexLumenPlug capture [options]\n"
    "\n"
    "Captures frames from the virtual camera \"Quorvex Camera Adapter 0\" the way a\n"
    "capturing application does, and writes them as YUV4MPEG2 (.y4m).\n"
    "\n"
    "  QuorvexLumenPlug capture -o - | ffplay -\n"
    "  QuorvexLumenPlug capture --frames 1 --snapshot still.png\n"
    "\n"
    "Options:\n"
    "  --size WxH            size of the frames to ask the camera for (default: the\n"
    "                        camera's own, 320x240); at most 460800 bytes in 4:2:0\n"
    "  --frames N            stop after N frames\n"
    "  --seconds S           stop after S seconds (default 5 when --frames is not\n"
    "                        given; with both, whichever comes first)\n"
    "  -o FILE.y4m, -o -     write the frames to FILE.y4m or to standard output\n"
    "  --snapshot FILE.png   save the first frame as a PNG picture\n"
    "  --snapshot-frame N    save frame N instead of the first\n"
    "  --info                describe the camera and exit\n"
    "  --quiet               report only errors\n"
    "  -h, --help            show this help\n"
    "\n"
    "capture needs a producer feeding the camera (QuorvexLumenPlug feed); without\n"
    "one no frames come, and capture gives up after 5 seconds without a frame.\n";

// The camera's calls, by selector.
enum Selector : SInt16 {
  kSetDigitizerRect = 3,
  kGetDigitizerRect = 4,
  kSetCompression = 68,
  kCompressOneFrameAsync = 69,
  kCompressDone = 70,
  kReleaseCompressBuffer = 71,
  kGetImageDescription = 72,
  kSetFrameRate = 77,
  kCaptureStateChanging = 95,
};

constexpr OSType kDigitizerType = 0x76646967;  // 'vdig'
constexpr OSType kCodecType = 0x6A343230;      // 'j420'
constexpr CodecQ kNormalQuality = 0x200;
constexpr Fixed kThirtyFramesPerSecond = 0x001E0000;
constexpr UInt32 kCaptureStarting = 0x01;
constexpr UInt32 kCaptureStopping = 0x02;
constexpr FrameRate kOutputRate = {30, 1};
constexpr double kDefaultSeconds = 5;
// Without a producer no frame ever comes; give up after this long.
constexpr double kNoFrameTimeoutSeconds = 5;
// The camera sleeps a little in every poll that finds no frame; a poll that
// returns sooner gets this pause, so that the loop never spins.
constexpr long kIdlePollNs = 2 * 1000000;
constexpr double kProgressIntervalSeconds = 0.2;

struct CaptureOptions {
  std::string device = orvid::kDeviceName;
  std::optional<std::pair<uint32_t, uint32_t>> size;
  uint64_t frame_limit = 0;  // 0: no limit
  double seconds = 0;        // 0: no limit
  std::optional<std::string> output;
  std::optional<std::string> snapshot;
  uint64_t snapshot_frame = 1;
  bool snapshot_frame_given = false;
  bool info = false;
  bool quiet = false;
};

volatile sig_atomic_t stop_requested = 0;

void RequestStop(int) { stop_requested = 1; }

int UsageError(const std::string& message) {
  fprintf(stderr, "capture: %s\nTry 'QuorvexLumenPlug capture --help'.\n", message.c_str());
  return kExitUsage;
}

int Failure(const std::string& message) {
  fprintf(stderr, "capture: %s\n", message.c_str());
  return kExitFailure;
}

double NowSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

std::string FourCharCode(OSType code) {
  std::string text = "'";
  for (int shift = 24; shift >= 0; shift -= 8) {
    const char c = static_cast<char>(code >> shift);
    text += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return text + "'";
}

// "-2090 (videoOutputInUseErr): <what it means>", or the bare number for a
// code the platform does not describe.
std::string DescribeStatus(OSStatus status) {
  char number[32];
  if (status < -0x8000) {
    snprintf(number, sizeof(number), "0x%08X", static_cast<unsigned>(status));
  } else {
    snprintf(number, sizeof(number), "%d", static_cast<int>(status));
  }
  const char* name = GetMacOSStatusErrorString(status);
  const char* comment = GetMacOSStatusCommentString(status);
  if (name == nullptr) return std::string(number) + " (a status the platform does not name)";
  return std::string(number) + " (" + name + ")" + (comment ? std::string(": ") + comment : "");
}

// Parses the command line; returns -1 to go on, else the exit status.
int ParseCaptureOptions(int argc, char** argv, CaptureOptions* options) {
  Arguments args(argc, argv);
  std::string value;
  std::string error;
  while (!args.AtEnd()) {
    if (args.TakeEndOfOptions()) continue;
    if (!args.IsOption()) return UsageError("unexpected argument " + args.Peek());
    if (args.TakeFlag("--help") || args.TakeFlag("-h")) {
      fputs(kCaptureHelp, stdout);
      return kExitOk;
    }
    if (args.TakeFlag("--info")) {
      options->info = true;
    } else if (args.TakeFlag("--quiet")) {
      options->quiet = true;
    } else if (args.TakeValue("--size", &value, &error)) {
      uint32_t width = 0;
      uint32_t height = 0;
      if (!error.empty()) return UsageError(error);
      if (!ParseSize(value, &width, &height, &error)) return UsageError("--size " + error);
      options->size = {width, height};
    } else if (args.TakeValue("--frames", &value, &error)) {
      if (!error.empty()) return UsageError(error);
      if (!ParseCount(value, &options->frame_limit, &error)) return UsageError("--frames " + error);
    } else if (args.TakeValue("--seconds", &value, &error)) {
      if (!error.empty()) return UsageError(error);
      if (!ParseSeconds(value, &options->seconds, &error)) return UsageError("--seconds " + error);
    } else if (args.TakeValue("-o", &value, &error) || args.TakeValue("--output", &value, &error)) {
      if (!error.empty()) return UsageError(error);
      if (value.empty()) return UsageError("-o needs a file name, or - for standard output");
      options->output = value;
    } else if (args.TakeValue("--snapshot", &value, &error)) {
      if (!error.empty()) return UsageError(error);
      if (value.empty()) return UsageError("--snapshot needs a file name");
      options->snapshot = value;
    } else if (args.TakeValue("--snapshot-frame", &value, &error)) {
      if (!error.empty()) return UsageError(error);
      if (!ParseCount(value, &options->snapshot_frame, &error)) {
        return UsageError("--snapshot-frame " + error);
      }
      options->snapshot_frame_given = true;
    } else if (args.TakeValue("--device", &value, &error)) {
      // For tests: look for a camera of another name.
      if (!error.empty()) return UsageError(error);
      options->device = value;
    } else {
      return UsageError("unknown option " + args.Peek());
    }
  }
  if (options->snapshot_frame_given && !options->snapshot) {
    return UsageError("--snapshot-frame needs --snapshot FILE.png");
  }
  if (options->frame_limit && options->snapshot && options->snapshot_frame > options->frame_limit) {
    return UsageError("--snapshot-frame " + std::to_string(options->snapshot_frame) +
                      " lies beyond --frames " + std::to_string(options->frame_limit));
  }
  if (options->size) {
    const auto [width, height] = *options->size;
    const uint64_t bytes = orvid::PlanarFrameBytes(width, height);
    if (width > INT16_MAX || height > INT16_MAX || bytes > orvid::kFrameDataBytes) {
      return UsageError("--size " + std::to_string(width) + "x" + std::to_string(height) +
                        " is too large: the camera delivers at most " +
                        std::to_string(orvid::kFrameDataBytes) + " bytes of 4:2:0 (640x480)");
    }
  }
  if (options->frame_limit == 0 && options->seconds == 0) options->seconds = kDefaultSeconds;
  return -1;
}

// The registered camera of that name; null when there is none.
Component FindCamera(const std::string& device) {
  ComponentDescription looking = {kDigitizerType, 0, 0, 0, 0};
  Handle name = NewHandle(0);
  Component camera = nullptr;
  while ((camera = FindNextComponent(camera, &looking)) != nullptr) {
    if (GetComponentInfo(camera, nullptr, name, nullptr, nullptr) != noErr) continue;
    if (PlatformPascalToString(reinterpret_cast<ConstStr255Param>(*name)) == device) break;
  }
  DisposeHandle(name);
  return camera;
}

// An open camera instance, closed when it goes out of scope.
class Camera {
 public:
  explicit Camera(ComponentInstance instance) : instance_(instance) {}
  ~Camera() { CloseComponent(instance_); }
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  ComponentInstance instance() const { return instance_; }
  bool Implements(SInt16 selector) const {
    return ComponentFunctionImplemented(instance_, selector) > 0;
  }

  // Makes a call; on failure sets *error to a message naming the call.
  template <class... Args>
  bool Call(const char* name, SInt16 selector, std::string* error, Args... args) {
    const ComponentResult result = PlatformCallComponent(instance_, selector, args...);
    if (result == noErr) return true;
    *error = std::string("the camera refused ") + name + " (selector " + std::to_string(selector) +
             "): " + DescribeStatus(result);
    return false;
  }

 private:
  ComponentInstance instance_;
};

int OpenCamera(const std::string& device, ComponentInstance* instance) {
  const Component camera = FindCamera(device);
  if (camera == nullptr) {
    return Failure("no camera named \"" + device +
                   "\" is installed (no 'vdig' component of that name was found)");
  }
  const OSErr opened = OpenAComponent(camera, instance);
  if (opened != noErr) return Failure("the camera refused to open: " + DescribeStatus(opened));
  return -1;
}

int DescribeCamera(const std::string& device) {
  ComponentInstance instance = nullptr;
  const int opened = OpenCamera(device, &instance);
  if (opened >= 0) return opened;
  Camera camera(instance);
  printf("camera: %s\n", device.c_str());
  const ComponentResult version = GetComponentVersion(instance);
  printf("version: %d.%d (0x%08X)\n", static_cast<int>(version >> 16),
         static_cast<int>(version & 0xFFFF), static_cast<unsigned>(version));
  std::string selectors;
  for (int selector = -4; selector < 256; ++selector) {
    if (camera.Implements(static_cast<SInt16>(selector))) {
      selectors += " " + std::to_string(selector);
    }
  }
  printf("selectors:%s\n", selectors.c_str());
  const bool delivers = camera.Implements(kCompressOneFrameAsync) &&
                        camera.Implements(kCompressDone) &&
                        camera.Implements(kReleaseCompressBuffer);
  printf("delivers frames: %s\n", delivers ? "yes" : "no");
  return kExitOk;
}

// Where the frames go and what happened to them.
struct Recording {
  uint32_t width = 0;
  uint32_t height = 0;
  FILE* file = nullptr;  // null: frames are only counted
  std::optional<Y4mWriter> writer;
  uint64_t frames = 0;
  bool output_closed = false;  // the reader of standard output went away
};

// Asks for the compression and the image description, and sets the frame
// rate and the size; leaves the frame size in *recording.
bool PrepareCapture(Camera* camera, const CaptureOptions& options, Recording* recording,
                    std::string* error) {
  // The platform has no digitizer information record or time base yet: the
  // application's OrvidGetDigitizerInfo (25) and OrvidGetCurrentFlags (26)
  // calls, and its time base (a new one given with OrvidSetTimeBase, 76,
  // disposed of after close) come here once it has.
  Rect bounds = {0, 0, 0, 0};
  if (!camera->Call("OrvidSetCompression", kSetCompression, error, kCodecType, SInt16{0}, &bounds,
                    kNormalQuality, kNormalQuality, SInt32{0})) {
    return false;
  }
  Handle description = NewHandleClear(0);
  if (!camera->Call("OrvidGetImageDescription", kGetImageDescription, error, description)) {
    DisposeHandle(description);
    return false;
  }
  if (GetHandleSize(description) < static_cast<Size>(sizeof(ImageDescription))) {
    DisposeHandle(description);
    *error = "the camera's image description is too short";
    return false;
  }
  const auto image = reinterpret_cast<ImageDescriptionHandle>(description);
  const OSType codec = (*image)->cType;
  SInt32 encoded_width = (*image)->width;
  SInt32 encoded_height = (*image)->height;
  // The encoded size, when the description carries it, is the one to trust.
  ICMImageDescriptionGetProperty(image, kQTPropertyClass_ImageDescription,
                                 kICMImageDescriptionPropertyID_EncodedWidth, sizeof(encoded_width),
                                 &encoded_width, nullptr);
  ICMImageDescriptionGetProperty(image, kQTPropertyClass_ImageDescription,
                                 kICMImageDescriptionPropertyID_EncodedHeight,
                                 sizeof(encoded_height), &encoded_height, nullptr);
  DisposeHandle(description);
  if (codec != kCodecType) {
    *error = "the camera delivers " + FourCharCode(codec) + " frames; capture takes 'j420'";
    return false;
  }
  if (!camera->Call("OrvidSetFrameRate", kSetFrameRate, error, kThirtyFramesPerSecond)) {
    return false;
  }

  Rect digitizer = {0, 0, static_cast<int16_t>(encoded_height),
                    static_cast<int16_t>(encoded_width)};
  if (options.size) {
    digitizer.right = static_cast<int16_t>(options.size->first);
    digitizer.bottom = static_cast<int16_t>(options.size->second);
    if (!camera->Call("OrvidSetDigitizerRect", kSetDigitizerRect, error, &digitizer)) return false;
  } else if (camera->Implements(kGetDigitizerRect) &&
             !camera->Call("OrvidGetDigitizerRect", kGetDigitizerRect, error, &digitizer)) {
    return false;
  }
  const uint64_t bytes = orvid::PlanarFrameBytes(static_cast<uint32_t>(digitizer.right),
                                                 static_cast<uint32_t>(digitizer.bottom));
  if (digitizer.right <= 0 || digitizer.bottom <= 0 || digitizer.top != 0 || digitizer.left != 0 ||
      bytes > orvid::kFrameDataBytes) {
    *error = "the camera reports an unusable frame size " + std::to_string(digitizer.right) + "x" +
             std::to_string(digitizer.bottom);
    return false;
  }
  recording->width = static_cast<uint32_t>(digitizer.right);
  recording->height = static_cast<uint32_t>(digitizer.bottom);
  return true;
}

void ShowProgress(const Recording& recording, double elapsed) {
  const double rate = elapsed > 0 ? recording.frames / elapsed : 0;
  fprintf(stderr, "\rcapture: %llu frames, %.1f frames per second, %ux%u   ",
          static_cast<unsigned long long>(recording.frames), rate, recording.width,
          recording.height);
  fflush(stderr);
}

// Writes one delivered frame where it belongs. False, with the reason, when
// that fails.
bool TakeFrame(const uint8_t* planar, const CaptureOptions& options, Recording* recording,
               std::string* error) {
  ++recording->frames;
  if (recording->writer && !recording->output_closed && !recording->writer->WriteFrame(planar)) {
    if (errno == EPIPE) {
      recording->output_closed = true;
    } else {
      *error = "cannot write the frames: " + std::string(strerror(errno));
      return false;
    }
  }
  if (options.snapshot && recording->frames == options.snapshot_frame) {
    const std::vector<uint8_t> rgb = Yuv420ToRgb(planar, recording->width, recording->height);
    if (!WritePngFile(*options.snapshot, rgb.data(), recording->width, recording->height, error)) {
      return false;
    }
  }
  return true;
}

// The request / poll / release cycles. Returns false, with the reason, when
// a call or a write fails; running out of time or frames is not a failure.
bool CaptureFrames(Camera* camera, const CaptureOptions& options, Recording* recording,
                   double* elapsed, std::string* error) {
  const bool show_progress = !options.quiet && isatty(STDERR_FILENO);
  const double start = NowSeconds();
  double last_frame = start;
  double last_progress = 0;
  while (!stop_requested && !recording->output_closed) {
    const double now = NowSeconds();
    *elapsed = now - start;
    if (options.frame_limit && recording->frames >= options.frame_limit) break;
    if (options.seconds && *elapsed >= options.seconds) break;
    if (now - last_frame >= kNoFrameTimeoutSeconds) break;
    if (show_progress && now - last_progress >= kProgressIntervalSeconds) {
      ShowProgress(*recording, *elapsed);
      last_progress = now;
    }
    if (!camera->Call("OrvidCompressOneFrameAsync", kCompressOneFrameAsync, error)) return false;
    Boolean ready = 0;
    Ptr data = nullptr;
    long size = 0;
    UInt8 similarity = 0;
    // The time stamp record; capture keeps no time stamps, so any record
    // that the camera can fill will do until the platform declares it.
    alignas(16) unsigned char time_record[64] = {};
    if (!camera->Call("OrvidCompressDone", kCompressDone, error, &ready, &data, &size, &similarity,
                      static_cast<void*>(time_record))) {
      return false;
    }
    if (!ready || data == nullptr) {
      if (NowSeconds() - now < kIdlePollNs / 1e9) {
        const struct timespec pause = {0, kIdlePollNs};
        nanosleep(&pause, nullptr);
      }
      continue;
    }
    last_frame = NowSeconds();
    const bool taken = TakeFrame(reinterpret_cast<const uint8_t*>(data), options, recording, error);
    std::string release_error;
    const bool released =
        camera->Call("OrvidReleaseCompressBuffer", kReleaseCompressBuffer, &release_error, data);
    if (!taken) return false;
    if (!released) {
      *error = release_error;
      return false;
    }
  }
  *elapsed = NowSeconds() - start;
  if (show_progress) {
    ShowProgress(*recording, *elapsed);
    fputc('\n', stderr);
  }
  return true;
}

void InstallStopHandlers() {
  struct sigaction action = {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a write blocked on a stalled pipe gives up on a signal.
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
  // A player that quits closes the pipe: end the capture instead of dying.
  signal(SIGPIPE, SIG_IGN);
}

int OpenOutput(const CaptureOptions& options, Recording* recording) {
  if (!options.output) return -1;
  if (*options.output == "-") {
    if (isatty(STDOUT_FILENO)) {
      return UsageError(
          "standard output is a terminal; pipe it to a player (| ffplay -) or "
          "give -o FILE.y4m");
    }
    recording->file = stdout;
  } else {
    recording->file = fopen(options.output->c_str(), "wb");
    if (recording->file == nullptr) {
      return Failure("cannot create " + *options.output + ": " + strerror(errno));
    }
  }
  recording->writer.emplace(recording->file);
  if (!recording->writer->WriteHeader(recording->width, recording->height, kOutputRate)) {
    return Failure("cannot write to " + *options.output + ": " + strerror(errno));
  }
  return -1;
}

std::string Summary(const CaptureOptions& options, const Recording& recording, double elapsed) {
  char text[256];
  snprintf(text, sizeof(text), "%llu frame%s in %.2f s (%.1f frames per second), %ux%u",
           static_cast<unsigned long long>(recording.frames), recording.frames == 1 ? "" : "s",
           elapsed, elapsed > 0 ? recording.frames / elapsed : 0.0, recording.width,
           recording.height);
  std::string summary = text;
  if (options.output && recording.frames > 0) {
    summary +=
        *options.output == "-" ? ", written to standard output" : ", written to " + *options.output;
  }
  if (recording.output_closed) summary += " until the reader closed it";
  if (options.snapshot && recording.frames >= options.snapshot_frame) {
    summary += ", snapshot in " + *options.snapshot;
  }
  return summary;
}

int Capture(const CaptureOptions& options) {
  ComponentInstance instance = nullptr;
  const int opened = OpenCamera(options.device, &instance);
  if (opened >= 0) return opened;
  Camera camera(instance);
  if (!camera.Implements(kCompressOneFrameAsync) || !camera.Implements(kCompressDone) ||
      !camera.Implements(kReleaseCompressBuffer)) {
    return Failure(
        "the camera does not deliver frames: it lacks OrvidCompressOneFrameAsync, "
        "OrvidCompressDone or OrvidReleaseCompressBuffer (selectors 69 to 71)");
  }
  Recording recording;
  std::string error;
  if (!PrepareCapture(&camera, options, &recording, &error)) return Failure(error);
  const int output = OpenOutput(options, &recording);
  if (output >= 0) return output;

  double elapsed = 0;
  bool captured =
      camera.Call("OrvidCaptureStateChanging", kCaptureStateChanging, &error, kCaptureStarting) &&
      CaptureFrames(&camera, options, &recording, &elapsed, &error);
  std::string stop_error;
  if (!camera.Call("OrvidCaptureStateChanging", kCaptureStateChanging, &stop_error,
                   kCaptureStopping) &&
      captured) {
    captured = false;
    error = stop_error;
  }
  if (recording.file != nullptr && recording.file != stdout && fclose(recording.file) != 0 &&
      captured) {
    captured = false;
    error = "cannot write " + *options.output + ": " + strerror(errno);
  }
  // A file without a single frame is of no use to anyone.
  if (recording.file != nullptr && recording.file != stdout && recording.frames == 0) {
    remove(options.output->c_str());
  }
  if (!captured) return Failure(error);
  if (!options.quiet) {
    fprintf(stderr, "capture: %s\n", Summary(options, recording, elapsed).c_str());
  }
  if (recording.output_closed || stop_requested) return kExitOk;
  if (recording.frames == 0) {
    return Failure(
        "no frame came from the camera; is a producer feeding it? "
        "(QuorvexLumenPlug feed)");
  }
  if (options.frame_limit && recording.frames < options.frame_limit) {
    return Failure("only " + std::to_string(recording.frames) + " of " +
                   std::to_string(options.frame_limit) + " frames came: none for " +
                   std::to_string(static_cast<int>(kNoFrameTimeoutSeconds)) + " seconds");
  }
  if (options.snapshot && recording.frames < options.snapshot_frame) {
    return Failure("no snapshot: only " + std::to_string(recording.frames) +
                   " frames came, and the snapshot was to be frame " +
                   std::to_string(options.snapshot_frame));
  }
  return kExitOk;
}

}  // namespace

int RunCapture(int argc, char** argv) {
  CaptureOptions options;
  const int parsed = ParseCaptureOptions(argc, argv, &options);
  if (parsed >= 0) return parsed;
  InstallStopHandlers();
  if (options.info) return DescribeCamera(options.device);
  return Capture(options);
}

}  // namespace lumenplug
