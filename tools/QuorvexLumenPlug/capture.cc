// The capture command: a capturing application. Loads the camera through the
// component manager and makes the calls a capturing application makes, in
// the order it makes them: open; the digitizer information and the current
// flags; the compression and the image description of the frames; a time
// base of its own; the frame rate and the digitizer rectangle; capture start;
// then request / poll / release cycles for every frame; capture stop; close,
// and only then the time base is disposed of. Frames go to a YUV4MPEG2 file
// or standard output and, for one of them, to a PNG snapshot. The camera
// stamps every frame with the time base's time; the stamps give the frame
// rate that the summary reports.
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
#include <vector>

#include "sharedmem/sharedframearea.h"
#include "sharedmem/sharedmem.h"
#include "platform/components.h"
#include "platform/timebase.h"
#include "platform/videodigitizer.h"
#include "tools/QuorvexLumenPlug/arguments.h"
#include "tools/QuorvexLumenPlug/camera.h"
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
    "  --verbose             tell every call made to the camera and every frame's\n"
    "                        time stamp\n"
    "  --quiet               report only errors\n"
    "  -h, --help            show this help\n"
    "\n"
    "capture needs a producer feeding the camera (QuorvexLumenPlug feed); without\n"
    "one no frames come, and capture gives up after 5 seconds without a frame.\n";

// The rate the camera is asked for, and the nominal rate of the file.
constexpr FrameRate kOutputRate = {30, 1};
constexpr double kDefaultSeconds = 5;
// Without a producer no frame ever comes; give up after this long.
constexpr double kNoFrameTimeoutSeconds = 5;
// The camera sleeps a little in every poll that finds no frame; a poll that
// returns sooner gets this pause, so that the loop never spins.
constexpr long kIdlePollNs = 2 * 1000000;
constexpr double kProgressIntervalSeconds = 0.2;

struct CaptureOptions {
  std::string device = tessel::kDeviceName;
  std::optional<std::pair<uint32_t, uint32_t>> size;
  uint64_t frame_limit = 0;  // 0: no limit
  double seconds = 0;        // 0: no limit
  std::optional<std::string> output;
  std::optional<std::string> snapshot;
  uint64_t snapshot_frame = 1;
  bool snapshot_frame_given = false;
  bool info = false;
  bool verbose = false;
  bool quiet = false;
};

volatile sig_atomic_t stop_requested = 0;

void RequestStop(int) { stop_requested = 1; }

int UsageError(const std::string& message) { return ReportUsageError("capture", message); }
int Failure(const std::string& message) { return ReportFailure("capture", message); }

double NowSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
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
    } else if (args.TakeFlag("--verbose")) {
      options->verbose = true;
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
  if (options->verbose && options->quiet) {
    return UsageError("--verbose and --quiet cannot be given together");
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
    if (!IsDeliverableSize(width, height)) {
      return UsageError("--size " + std::to_string(width) + "x" + std::to_string(height) +
                        " is too large: the camera delivers at most " +
                        std::to_string(tessel::kFrameDataBytes) + " bytes of 4:2:0 (640x480)");
    }
  }
  if (options->frame_limit == 0 && options->seconds == 0) options->seconds = kDefaultSeconds;
  return -1;
}

int DescribeCamera(const std::string& device, bool verbose) {
  ComponentInstance instance = nullptr;
  std::string error;
  if (!OpenCamera(device, &instance, &error)) return Failure(error);
  Camera camera(instance, "capture", verbose);
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
  printf("delivers frames: %s\n", camera.DeliversFrames() ? "yes" : "no");
  DigitizerInfo info;
  UInt32 input_flags = 0;
  UInt32 output_flags = 0;
  if (!ReadDigitizerInfo(&camera, &info, &input_flags, &output_flags, &error)) {
    return Failure(error);
  }
  PrintDigitizerInfo(stdout, "", info, input_flags, output_flags);
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

// What the camera's time stamps tell about the frames taken so far. A stamp
// counts when it is in a positive scale and read from capture's own time
// base; the camera's clock then runs from the moment capture made the base.
struct FrameTiming {
  uint64_t stamped = 0;    // frames with a stamp that counts
  uint64_t unstamped = 0;  // frames without one
  double first_seconds = 0;
  double last_seconds = 0;

  // Records the stamp of the next frame. Its time in seconds goes to
  // *seconds; false, changing nothing, when the stamp does not count.
  bool Add(const TimeRecord& stamp, TimeBase own_base, double* seconds) {
    if (stamp.scale <= 0 || stamp.base != own_base || stamp.value < 0) {
      ++unstamped;
      return false;
    }
    *seconds = static_cast<double>(stamp.value) / stamp.scale;
    if (stamped == 0) first_seconds = *seconds;
    last_seconds = *seconds;
    ++stamped;
    return true;
  }

  // Frames per second between the first and the last stamp; 0 until two
  // stamped frames lie apart in time.
  double Rate() const {
    if (stamped < 2 || last_seconds <= first_seconds) return 0;
    return static_cast<double>(stamped - 1) / (last_seconds - first_seconds);
  }
};

// "30.0 frames per second", or a dash while the stamps cannot tell yet.
std::string DescribeRate(const FrameTiming& timing) {
  const double rate = timing.Rate();
  if (rate <= 0) return "-- frames per second";
  char text[64];
  snprintf(text, sizeof(text), "%.1f frames per second", rate);
  return text;
}

void ShowProgress(const Recording& recording, const FrameTiming& timing) {
  fprintf(stderr, "\rcapture: %llu frames, %s, %ux%u   ",
          static_cast<unsigned long long>(recording.frames), DescribeRate(timing).c_str(),
          recording.width, recording.height);
  fflush(stderr);
}

// The --verbose line of one frame: its time stamp and its distance from the
// previous stamped frame.
void TellFrame(uint64_t number, const TimeRecord& stamp, bool counts, double seconds,
               std::optional<double> previous_seconds, long data_size) {
  if (!counts) {
    fprintf(stderr,
            "capture: frame %llu: no usable time stamp (value %lld, scale %d, %s time base), "
            "data size %ld\n",
            static_cast<unsigned long long>(number), static_cast<long long>(stamp.value),
            static_cast<int>(stamp.scale), stamp.base == nullptr ? "no" : "another", data_size);
    return;
  }
  char after[64] = "";
  if (previous_seconds) {
    snprintf(after, sizeof(after), ", %.1f ms after the previous one",
             (seconds - *previous_seconds) * 1000);
  }
  fprintf(stderr, "capture: frame %llu: time stamp %lld/%d s (%.3f s)%s, data size %ld\n",
          static_cast<unsigned long long>(number), static_cast<long long>(stamp.value),
          static_cast<int>(stamp.scale), seconds, after, data_size);
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
                   FrameTiming* timing, double* elapsed, std::string* error) {
  const bool show_progress = !options.quiet && !options.verbose && isatty(STDERR_FILENO);
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
      ShowProgress(*recording, *timing);
      last_progress = now;
    }
    PolledFrame frame;
    if (!PollFrame(camera, &frame, error)) return false;
    if (!frame.ready) {
      if (NowSeconds() - now < kIdlePollNs / 1e9) {
        const struct timespec pause = {0, kIdlePollNs};
        nanosleep(&pause, nullptr);
      }
      continue;
    }
    last_frame = NowSeconds();
    const std::optional<double> previous_seconds =
        timing->stamped > 0 ? std::optional<double>(timing->last_seconds) : std::nullopt;
    double seconds = 0;
    const bool counts = timing->Add(frame.stamp, camera->time_base(), &seconds);
    if (options.verbose) {
      TellFrame(recording->frames + 1, frame.stamp, counts, seconds, previous_seconds, frame.size);
    }
    const bool taken =
        TakeFrame(reinterpret_cast<const uint8_t*>(frame.data), options, recording, error);
    std::string release_error;
    const bool released = ReleaseFrame(camera, frame.data, &release_error);
    if (!taken) return false;
    if (!released) {
      *error = release_error;
      return false;
    }
  }
  *elapsed = NowSeconds() - start;
  if (show_progress) {
    ShowProgress(*recording, *timing);
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

// "3 frames in 0.12 s, 30.0 frames per second by the camera's time stamps,
// 320x240, written to out.y4m, snapshot in still.png".
std::string Summary(const CaptureOptions& options, const Recording& recording,
                    const FrameTiming& timing, double elapsed) {
  char text[256];
  snprintf(text, sizeof(text), "%llu frame%s in %.2f s",
           static_cast<unsigned long long>(recording.frames), recording.frames == 1 ? "" : "s",
           elapsed);
  std::string summary = text;
  if (timing.Rate() > 0) {
    summary += ", " + DescribeRate(timing) + " by the camera's time stamps";
  } else if (recording.frames > 0) {
    summary += " (too few time-stamped frames to tell the frame rate)";
  }
  if (timing.unstamped > 0) {
    summary += ", " + std::to_string(timing.unstamped) + " without a usable time stamp";
  }
  summary += ", " + std::to_string(recording.width) + "x" + std::to_string(recording.height);
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
  std::string error;
  if (!OpenCamera(options.device, &instance, &error)) return Failure(error);
  Camera camera(instance, "capture", options.verbose);
  if (!camera.DeliversFrames()) {
    return Failure(
        "the camera does not deliver frames: it lacks OrvidCompressOneFrameAsync, "
        "OrvidCompressDone or OrvidReleaseCompressBuffer (selectors 69 to 71)");
  }
  Recording recording;
  if (!PrepareCamera(&camera, options.size, &recording.width, &recording.height, &error)) {
    return Failure(error);
  }
  const int output = OpenOutput(options, &recording);
  if (output >= 0) return output;

  FrameTiming timing;
  double elapsed = 0;
  bool captured = camera.Call("OrvidCaptureStateChanging", kVDCaptureStateChangingSelect, &error,
                              vdFlagCaptureStarting) &&
                  CaptureFrames(&camera, options, &recording, &timing, &elapsed, &error);
  std::string stop_error;
  if (!camera.Call("OrvidCaptureStateChanging", kVDCaptureStateChangingSelect, &stop_error,
                   vdFlagCaptureStopping) &&
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
    fprintf(stderr, "capture: %s\n", Summary(options, recording, timing, elapsed).c_str());
  }
  if (recording.output_closed || stop_requested) return kExitOk;
  if (recording.frames == 0) {
    const std::string sharing = tessel::DescribeSharingProblem(options.device);
    if (!sharing.empty()) return Failure("no frame came from the camera: " + sharing);
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
  if (options.info) return DescribeCamera(options.device, options.verbose);
  return Capture(options);
}

}  // namespace lumenplug
