// The feed command: the producer. Reads frames from the test pattern or a
// YUV4MPEG2 stream and publishes them into the camera's shared frame area at
// a steady rate, until the input ends, a frame limit is reached or a signal
// asks it to stop; then it withdraws the picture and detaches.
//
// Signals: SIGINT, SIGTERM and SIGHUP are blocked and read from a signalfd,
// which every wait watches (the pacing, the reads from a pipe, a FIFO
// without a writer yet, the camera's lock), so a stop request is never lost
// between a check and a wait.
//
// The camera's frame transport is checked at least once a second while
// feed runs: when someone removed the segment or a name, feed makes them
// again and shows the current frame there.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sharedmem/sharedframearea.h"
#include "tools/QuorvexLumenPlug/arguments.h"
#include "tools/QuorvexLumenPlug/commands.h"
#include "tools/QuorvexLumenPlug/options.h"
#include "tools/QuorvexLumenPlug/producer.h"
#include "tools/QuorvexLumenPlug/testpattern.h"
#include "tools/QuorvexLumenPlug/y4m.h"

namespace lumenplug {

namespace {

const char kFeedHelp[] =
    "Usage: QuorvexLumenPlug feed [options] [FILE | -]\n"
    "\n"
    "Feeds frames to the virtual camera \"Quorvex Camera Adapter 0\": a moving test\n"
    "pattern, or the frames of a YUV4MPEG2 (.y4m) file or of standard input (-).\n"
    "\n"
    "  ffmpeg -i clip.mp4 -vf scale=640:-2 -f yuv4mpegpipe -pix_fmt yuv420p - \\\n"
    "      | QuorvexLumenPlug feed -\n"
    "\n"
    "Options:\n"
    "  --size WxH    size of the test pattern (default 640x480); a frame may take at\n"
    "                most 460800 bytes in 4:2:0, so 640x480 is the largest 4:3 size\n"
    "  --rate FPS    frames per second, e.g. 30, 29.97 or 30000/1001 (default 30\n"
    "                for the pattern, the stream's own rate for a file); from one\n"
    "                frame a minute (1/60) to 1000, for a stream's own rate too\n"
    "  --loop        start a file again when it ends (not possible on a pipe)\n"
    "  --frames N    stop after N frames\n"
    "  --quiet       report only errors and warnings\n"
    "  -h, --help    show this help\n"
    "\n"
    "The input must be planar 4:2:0 (C420, C420jpeg, C420paldv, C420mpeg2, or no C\n"
    "tag) of any size that fits; interlaced frames are passed on whole. At the end\n"
    "of the input, and on SIGINT or SIGTERM, feed withdraws the picture, detaches\n"
    "from the camera and exits with status 0.\n";

// How often, at most, feed goes without checking the frame transport.
constexpr int64_t kTransportCheckNs = 1000 * 1000000LL;

// How far behind its schedule a slow input may fall before the schedule is
// moved instead of catching up with a burst of frames.
constexpr int64_t kMaxLagNs = 500 * 1000000LL;

struct FeedOptions {
  std::string device = tessel::kDeviceName;
  std::optional<std::string> input;  // "-" for standard input
  uint32_t width = 640;
  uint32_t height = 480;
  bool size_given = false;
  std::optional<FrameRate> rate;
  bool loop = false;
  uint64_t frame_limit = 0;  // 0: no limit
  bool quiet = false;
};

int UsageError(const std::string& message) { return ReportUsageError("feed", message); }
int Failure(const std::string& message) { return ReportFailure("feed", message); }

int64_t NowNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Parses the command line; returns -1 to go on, else the exit status.
int ParseFeedOptions(int argc, char** argv, FeedOptions* options) {
  Arguments args(argc, argv);
  std::string value;
  std::string error;
  while (!args.AtEnd()) {
    if (args.TakeEndOfOptions()) continue;
    if (!args.IsOption()) {
      if (options->input) return UsageError("only one input can be given");
      options->input = args.Take();
      continue;
    }
    if (args.TakeFlag("--help") || args.TakeFlag("-h")) {
      fputs(kFeedHelp, stdout);
      return kExitOk;
    }
    if (args.TakeFlag("--loop")) {
      options->loop = true;
    } else if (args.TakeFlag("--quiet")) {
      options->quiet = true;
    } else if (args.TakeValue("--size", &value, &error)) {
      if (!error.empty()) return UsageError(error);
      if (!ParseSize(value, &options->width, &options->height, &error)) {
        return UsageError("--size " + error);
      }
      options->size_given = true;
    } else if (args.TakeValue("--rate", &value, &error)) {
      FrameRate rate;
      if (!error.empty()) return UsageError(error);
      if (!ParseFrameRate(value, &rate, &error)) return UsageError("--rate " + error);
      options->rate = rate;
    } else if (args.TakeValue("--frames", &value, &error)) {
      if (!error.empty()) return UsageError(error);
      if (!ParseCount(value, &options->frame_limit, &error)) return UsageError("--frames " + error);
    } else if (args.TakeValue("--device", &value, &error)) {
      // For tests: another device name than the camera's, so that a test
      // never disturbs a real camera.
      if (!error.empty()) return UsageError(error);
      if (value.empty()) return UsageError("--device needs a name");
      options->device = value;
    } else {
      return UsageError("unknown option " + args.Peek());
    }
  }
  if (options->input && options->size_given) {
    return UsageError("--size sets the test pattern's size; a file's frames keep their own size");
  }
  if (options->loop && !options->input) return UsageError("--loop needs an input file");
  const uint64_t bytes = tessel::PlanarFrameBytes(options->width, options->height);
  if (bytes > tessel::kFrameDataBytes) {
    return UsageError("--size " + std::to_string(options->width) + "x" +
                      std::to_string(options->height) + " is too large: its frames take " +
                      std::to_string(bytes) + " bytes, the camera carries at most " +
                      std::to_string(tessel::kFrameDataBytes) + " (640x480)");
  }
  return -1;
}

// Blocks the stop signals and returns a descriptor that becomes readable
// when one arrives; -1 on failure.
int OpenStopSignals() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGHUP);
  if (sigprocmask(SIG_BLOCK, &stop, nullptr) != 0) return -1;
  return signalfd(-1, &stop, SFD_CLOEXEC);
}

// Waits until the monotonic clock reaches `deadline_ns`. False when a stop
// signal came first.
bool SleepUntil(int64_t deadline_ns, int stop_fd) {
  for (;;) {
    const int64_t left = deadline_ns - NowNs();
    struct pollfd watch = {stop_fd, POLLIN, 0};
    struct timespec timeout = {0, 0};
    if (left > 0)
      timeout = {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    const int ready = ppoll(&watch, 1, &timeout, nullptr);
    if (ready > 0) return false;
    if (left <= 0) return true;
  }
}

// A source of frames: the pattern, or a y4m stream.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  enum Result { kFrame, kEnd, kStopped, kError };
  virtual Result Next(uint64_t index, std::vector<uint8_t>* frame, std::string* error) = 0;
};

class PatternSource : public FrameSource {
 public:
  PatternSource(uint32_t width, uint32_t height) : pattern_(width, height) {}
  Result Next(uint64_t index, std::vector<uint8_t>* frame, std::string*) override {
    pattern_.Render(index, frame->data());
    return kFrame;
  }

 private:
  TestPattern pattern_;
};

class StreamSource : public FrameSource {
 public:
  StreamSource(Y4mReader* reader, bool loop, std::string name)
      : reader_(reader), loop_(loop), name_(std::move(name)) {}
  Result Next(uint64_t, std::vector<uint8_t>* frame, std::string* error) override {
    for (;;) {
      switch (reader_->ReadFrame(frame)) {
        case Y4mReader::kOk:
          ++since_rewind_;
          return kFrame;
        case Y4mReader::kInterrupted:
          return kStopped;
        case Y4mReader::kError:
          *error = name_ + ": " + reader_->error();
          return kError;
        case Y4mReader::kEnd:
          break;
      }
      // Nothing to show, whether it ends or would start over.
      if (since_rewind_ == 0) {
        *error = name_ + " holds no frames";
        return kError;
      }
      if (!loop_) return kEnd;
      if (!reader_->Rewind()) {
        *error = name_ + ": cannot go back to its first frame";
        return kError;
      }
      since_rewind_ = 0;
    }
  }

 private:
  Y4mReader* reader_;
  bool loop_;
  std::string name_;
  uint64_t since_rewind_ = 0;
};

enum WaitResult { kWaited, kStopped, kFailed };

// Waits like SleepUntil, checking the frame transport at least once a
// second on the way (FrameProducer::KeepShared). When it had to be made
// again, `shown` (when not null), the frame of `width` x `height` on show,
// is published into it at once. kFailed with *error when that fails.
WaitResult WaitKeepingShared(int64_t deadline_ns, int stop_fd, FrameProducer* producer,
                             const uint8_t* shown, uint32_t width, uint32_t height,
                             std::string* error) {
  for (;;) {
    bool renewed = false;
    if (!producer->KeepShared(&renewed, error) ||
        (renewed && shown != nullptr && !producer->Publish(shown, width, height, error))) {
      return producer->stopped() ? kStopped : kFailed;
    }
    const int64_t slice_end = std::min(deadline_ns, NowNs() + kTransportCheckNs);
    if (!SleepUntil(slice_end, stop_fd)) return kStopped;
    if (slice_end >= deadline_ns) return kWaited;
  }
}

// Publishes frames until the source ends, the limit is reached or a signal
// comes. Returns the exit status; *published counts the frames.
int Feed(const FeedOptions& options, FrameSource* source, const FrameRate& rate, uint32_t width,
         uint32_t height, int stop_fd, FrameProducer* producer, uint64_t* published) {
  std::vector<uint8_t> frame(tessel::PlanarFrameBytes(width, height));
  std::string error;
  int64_t origin_ns = NowNs();
  uint64_t origin_index = 0;
  uint64_t& index = *published;
  for (; options.frame_limit == 0 || index < options.frame_limit; ++index) {
    const FrameSource::Result result = source->Next(index, &frame, &error);
    if (result == FrameSource::kStopped) return kExitOk;
    if (result == FrameSource::kError) return Failure(error);
    if (result == FrameSource::kEnd) break;
    int64_t deadline = origin_ns + FrameStartNs(rate, index - origin_index);
    if (NowNs() - deadline > kMaxLagNs) {
      // The input could not keep up (a slow pipe): carry on from now rather
      // than rush the frames that are late.
      origin_ns = deadline = NowNs();
      origin_index = index;
    }
    // Until the deadline the previous frame is on show; should the
    // transport be made again meanwhile, this one stands in for it.
    switch (WaitKeepingShared(deadline, stop_fd, producer, index > 0 ? frame.data() : nullptr,
                              width, height, &error)) {
      case kWaited:
        break;
      case kStopped:
        return kExitOk;
      case kFailed:
        return Failure(error);
    }
    if (!producer->Publish(frame.data(), width, height, &error)) {
      return producer->stopped() ? kExitOk : Failure(error);
    }
  }
  // The last frame stays on show for its whole duration before it goes.
  if (WaitKeepingShared(origin_ns + FrameStartNs(rate, index - origin_index), stop_fd, producer,
                        index > 0 ? frame.data() : nullptr, width, height,
                        &error) == kFailed) {
    return Failure(error);
  }
  return kExitOk;
}

}  // namespace

int RunFeed(int argc, char** argv) {
  FeedOptions options;
  const int parsed = ParseFeedOptions(argc, argv, &options);
  if (parsed >= 0) return parsed;

  const int stop_fd = OpenStopSignals();
  if (stop_fd < 0) return Failure(std::string("cannot watch for signals: ") + strerror(errno));

  // The input is checked before the camera is touched, so bad input leaves
  // no trace there.
  std::unique_ptr<FrameSource> source;
  std::unique_ptr<Y4mReader> reader;
  int input_fd = -1;
  FrameRate rate = options.rate.value_or(FrameRate());
  std::string description;
  if (options.input) {
    const bool is_stdin = *options.input == "-";
    const std::string name = is_stdin ? "standard input" : *options.input;
    if (is_stdin && StandardInputWasClosed()) {
      return Failure("cannot read standard input: it is closed");
    }
    // Without blocking: a FIFO that no writer has opened yet would block
    // the open itself, where no stop signal can end it. The reader waits
    // for data (and for the writer) with poll, which watches the signals.
    input_fd = is_stdin ? STDIN_FILENO
                        : open(options.input->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (input_fd < 0) return Failure("cannot open " + name + ": " + strerror(errno));
    struct stat file;
    if (options.loop && (fstat(input_fd, &file) != 0 || !S_ISREG(file.st_mode))) {
      return UsageError("--loop needs a file that can be read again from its start; " + name +
                        " is not a regular file (a pipe?)");
    }
    reader = std::make_unique<Y4mReader>(input_fd, stop_fd);
    Y4mStreamInfo info;
    switch (reader->ReadHeader(&info, tessel::kFrameDataBytes)) {
      case Y4mReader::kOk:
        break;
      case Y4mReader::kInterrupted:
        return kExitOk;
      default:
        return Failure(name + ": " + reader->error());
    }
    options.width = info.width;
    options.height = info.height;
    if (!options.rate && info.has_rate) {
      std::string bound;
      if (!FrameRateInBounds(info.rate, &bound)) {
        return Failure(name + ": its frame rate F" + std::to_string(info.rate.numerator) + ":" +
                       std::to_string(info.rate.denominator) + " " + bound +
                       "; give another with --rate");
      }
      rate = info.rate;
    }
    if (!options.quiet && !options.rate && !info.has_rate) {
      fprintf(stderr, "feed: %s gives no frame rate; feeding at %s frames per second\n",
              name.c_str(), DescribeFrameRate(rate).c_str());
    }
    const std::string interlacing = DescribeInterlacing(info.interlacing);
    if (!options.quiet && !interlacing.empty()) {
      fprintf(stderr,
              "feed: %s is %s; its frames are passed on whole, both fields woven together\n",
              name.c_str(), interlacing.c_str());
    }
    source = std::make_unique<StreamSource>(reader.get(), options.loop, name);
    description = name;
  } else {
    source = std::make_unique<PatternSource>(options.width, options.height);
    description = "the test pattern";
  }

  FrameProducer producer(options.device);
  producer.set_stop_fd(stop_fd);
  std::string error;
  if (!producer.Attach(&error)) return producer.stopped() ? kExitOk : Failure(error);
  if (!options.quiet) {
    fprintf(stderr, "feed: feeding \"%s\" with %s, %ux%u at %s frames per second\n",
            options.device.c_str(), description.c_str(), options.width, options.height,
            DescribeFrameRate(rate).c_str());
  }
  uint64_t published = 0;
  const int status = Feed(options, source.get(), rate, options.width, options.height, stop_fd,
                          &producer, &published);
  producer.Detach();
  if (input_fd > STDIN_FILENO) close(input_fd);
  close(stop_fd);
  if (!options.quiet) {
    fprintf(stderr, "feed: stopped after %llu frame%s; the picture is withdrawn\n",
            static_cast<unsigned long long>(published), published == 1 ? "" : "s");
  }
  return status;
}

}  // namespace lumenplug
