// The camera through PipeWire, timed from the producer's write to a
// client's receipt: this program is the producer (it writes frames into the
// camera's shared area, as feed does), it runs `QuorvexLumenPlug publish`,
// and it is a PipeWire client of the node publish offers. Each frame
// carries its sequence number and its write time (CLOCK_MONOTONIC) drawn as
// 16x16 blocks of black or white luma, which survive the camera's 2:1
// reduction, so the client reads both back from the pixels.
//
// The floor, measured in the same run: the same producer-to-client path
// without the camera and publish, through a PipeWire source node of this
// program that sends each frame the moment it is written.
//
// Figures per configuration (640x480 native and 320x240 scaled, 30 and 60
// frames per second): latency median and p99, frames lost per 1,000, and
// the CPU of publish in % of one core, beside the floor's (the CPU of the
// floor node's loop thread). It reports; it does not assert.
//
// Run it inside a PipeWire session; without one it starts a private one
// with scripts/pipewire-session.sh. Ctrl-C stops it cleanly.
#include <errno.h>
#include <pipewire/pipewire.h>
#include <semaphore.h>
#include <signal.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "sharedmem/sharedframearea.h"
#include "tools/QuorvexLumenPlug/producer.h"

namespace {

constexpr int64_t kNsPerSecond = 1000000000;
constexpr uint32_t kSourceWidth = 640;
constexpr uint32_t kSourceHeight = 480;
constexpr uint32_t kBlock = 16;  // pixels per bit at the source size
constexpr int kStampBits = 64;
constexpr int kSequenceBits = 32;
constexpr char kFloorNode[] = "publish-bench-floor";
constexpr char kCameraNode[] = "quorvex-camera";

volatile sig_atomic_t interrupted = 0;
void Interrupt(int) { interrupted = 1; }

int64_t NowNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}

void SleepUntil(int64_t deadline_ns) {
  struct timespec at = {static_cast<time_t>(deadline_ns / kNsPerSecond),
                        static_cast<long>(deadline_ns % kNsPerSecond)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR && !interrupted) {
  }
}

// CPU seconds (user + system) of a process or of one of our threads, from
// /proc.
double CpuSeconds(const std::string& stat_path) {
  std::ifstream file(stat_path);
  std::string text((std::istreambuf_iterator<char>(file)), {});
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::vector<std::string> fields;
  size_t at = close + 2;
  while (at < text.size()) {
    const size_t space = text.find(' ', at);
    fields.push_back(text.substr(at, space - at));
    if (space == std::string::npos) break;
    at = space + 1;
  }
  if (fields.size() < 13) return 0;
  // Fields 14 and 15 of stat: utime and stime, in clock ticks.
  return (std::stod(fields[11]) + std::stod(fields[12])) /
         static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string LoadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// --- the picture's code ------------------------------------------------------

// Draws the stamp and the sequence number into the luma of a 640x480 frame.
void Encode(uint8_t* planar, uint64_t stamp_ns, uint32_t sequence) {
  const uint32_t per_row = kSourceWidth / kBlock;
  for (int bit = 0; bit < kStampBits + kSequenceBits; ++bit) {
    const bool one =
        bit < kStampBits ? (stamp_ns >> bit) & 1 : (sequence >> (bit - kStampBits)) & 1;
    const uint32_t left = (bit % per_row) * kBlock;
    const uint32_t top = (bit / per_row) * kBlock;
    for (uint32_t y = top; y < top + kBlock; ++y) {
      memset(planar + y * kSourceWidth + left, one ? 235 : 16, kBlock);
    }
  }
}

// Reads them back from the luma of a frame of `width` (640 or 320).
void Decode(const uint8_t* luma, uint32_t width, int32_t stride, uint64_t* stamp_ns,
            uint32_t* sequence) {
  const uint32_t block = kBlock * width / kSourceWidth;
  const uint32_t per_row = kSourceWidth / kBlock;
  *stamp_ns = 0;
  *sequence = 0;
  for (int bit = 0; bit < kStampBits + kSequenceBits; ++bit) {
    const uint32_t x = (bit % per_row) * block + block / 2;
    const uint32_t y = (bit / per_row) * block + block / 2;
    if (luma[static_cast<size_t>(y) * stride + x] < 128) continue;
    if (bit < kStampBits) {
      *stamp_ns |= uint64_t{1} << bit;
    } else {
      *sequence |= uint32_t{1} << (bit - kStampBits);
    }
  }
}

// --- the client ----------------------------------------------------------------

struct Receipt {
  uint32_t sequence;
  int64_t latency_ns;
};

// An I420 format of a fixed size, and with a source's fixed 30/1 rate.
const spa_pod* I420Format(spa_pod_builder* builder, uint32_t width, uint32_t height,
                          bool with_rate) {
  spa_pod_frame object;
  spa_pod_builder_push_object(builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_pod_builder_prop(builder, SPA_FORMAT_mediaType, 0);
  spa_pod_builder_id(builder, SPA_MEDIA_TYPE_video);
  spa_pod_builder_prop(builder, SPA_FORMAT_mediaSubtype, 0);
  spa_pod_builder_id(builder, SPA_MEDIA_SUBTYPE_raw);
  spa_pod_builder_prop(builder, SPA_FORMAT_VIDEO_format, 0);
  spa_pod_builder_id(builder, SPA_VIDEO_FORMAT_I420);
  spa_pod_builder_prop(builder, SPA_FORMAT_VIDEO_size, 0);
  spa_pod_builder_rectangle(builder, width, height);
  if (with_rate) {
    spa_pod_builder_prop(builder, SPA_FORMAT_VIDEO_framerate, 0);
    spa_pod_builder_fraction(builder, 30, 1);
  }
  return static_cast<const spa_pod*>(spa_pod_builder_pop(builder, &object));
}

// An input stream of fixed I420 size on a thread loop of its own.
class Client {
 public:
  Client(pw_thread_loop* loop, const char* target, uint32_t width, uint32_t height)
      : loop_(loop), width_(width) {
    pw_thread_loop_lock(loop_);
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                             "Capture", PW_KEY_TARGET_OBJECT, target, nullptr);
    stream_ = pw_stream_new_simple(pw_thread_loop_get_loop(loop_), "publish-bench-client", props,
                                   &kEvents, this);
    uint8_t buffer[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    const spa_pod* params[] = {I420Format(&builder, width, height, false)};
    pw_stream_connect(
        stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
        params, 1);
    pw_thread_loop_unlock(loop_);
  }
  ~Client() {
    pw_thread_loop_lock(loop_);
    pw_stream_destroy(stream_);
    pw_thread_loop_unlock(loop_);
  }

  std::vector<Receipt> Take() {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<Receipt> taken;
    taken.swap(receipts_);
    return taken;
  }

 private:
  static void OnProcess(void* data) {
    auto* self = static_cast<Client*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream_);
    if (buffer == nullptr) return;
    const int64_t now = NowNs();
    const spa_data& plane = buffer->buffer->datas[0];
    if (plane.data != nullptr && plane.chunk->size > 0) {
      uint64_t stamp = 0;
      uint32_t sequence = 0;
      const int32_t stride = plane.chunk->stride > 0 ? plane.chunk->stride : self->width_;
      Decode(static_cast<const uint8_t*>(plane.data) + plane.chunk->offset, self->width_, stride,
             &stamp, &sequence);
      std::lock_guard<std::mutex> hold(self->lock_);
      self->receipts_.push_back({sequence, now - static_cast<int64_t>(stamp)});
    }
    pw_stream_queue_buffer(self->stream_, buffer);
  }

  static constexpr pw_stream_events kEvents = [] {
    pw_stream_events events = {};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.process = OnProcess;
    return events;
  }();

  pw_thread_loop* loop_;
  uint32_t width_;
  pw_stream* stream_ = nullptr;
  std::mutex lock_;
  std::vector<Receipt> receipts_;  // guarded by lock_
};

// --- the floor: a source node of our own ---------------------------------------

// A driver-mode output stream that sends the frame it is given at once,
// scaled 2:1 by dropping samples when the client asks for 320x240 (the
// code's blocks survive that as well as an average).
class FloorSource {
 public:
  explicit FloorSource(pw_thread_loop* loop) : loop_(loop) {
    pw_thread_loop_lock(loop_);
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_NODE_NAME,
                                             kFloorNode, PW_KEY_MEDIA_ROLE, "Camera", nullptr);
    stream_ =
        pw_stream_new_simple(pw_thread_loop_get_loop(loop_), kFloorNode, props, &kEvents, this);
    uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    std::vector<const spa_pod*> params;
    for (uint32_t width : {640u, 320u}) {
      params.push_back(I420Format(&builder, width, width * 3 / 4, true));
    }
    pw_stream_connect(
        stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
        params.data(), static_cast<uint32_t>(params.size()));
    wake_ = pw_loop_add_event(pw_thread_loop_get_loop(loop_), OnWake, this);
    pw_thread_loop_unlock(loop_);
  }
  ~FloorSource() {
    pw_thread_loop_lock(loop_);
    pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), wake_);
    pw_stream_destroy(stream_);
    pw_thread_loop_unlock(loop_);
  }

  // Hands a 640x480 frame over and wakes the loop, which sends it at once:
  // the trigger comes from the loop's own thread, as publish's does.
  void Send(const std::vector<uint8_t>& frame) {
    pw_thread_loop_lock(loop_);
    frame_ = frame;
    pending_ = true;
    pw_thread_loop_unlock(loop_);
    pw_loop_signal_event(pw_thread_loop_get_loop(loop_), wake_);
  }

  pid_t loop_thread() const { return tid_.load(); }

 private:
  static void OnWake(void* data, uint64_t) {
    auto* self = static_cast<FloorSource*>(data);
    if (pw_stream_is_driving(self->stream_)) pw_stream_trigger_process(self->stream_);
  }

  static void OnParamChanged(void* data, uint32_t id, const spa_pod* param) {
    auto* self = static_cast<FloorSource*>(data);
    if (id != SPA_PARAM_Format || param == nullptr) return;
    spa_video_info_raw info = {};
    spa_format_video_raw_parse(param, &info);
    self->width_ = info.size.width;
    self->height_ = info.size.height;
    const uint32_t size = self->width_ * self->height_ * 3 / 2;
    uint8_t buffer[256];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
        SPA_PARAM_BUFFERS_size, SPA_POD_Int(size), SPA_PARAM_BUFFERS_stride,
        SPA_POD_Int(self->width_)))};
    pw_stream_update_params(self->stream_, params, 1);
  }

  static void OnProcess(void* data) {
    auto* self = static_cast<FloorSource*>(data);
    self->tid_ = static_cast<pid_t>(syscall(SYS_gettid));
    if (!self->pending_ || self->width_ == 0) return;
    pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream_);
    if (buffer == nullptr) return;
    self->pending_ = false;
    spa_data& plane = buffer->buffer->datas[0];
    auto* out = static_cast<uint8_t*>(plane.data);
    const uint32_t step = kSourceWidth / self->width_;
    const size_t bytes = self->width_ * self->height_ * 3 / 2;
    if (out != nullptr && plane.maxsize >= bytes) {
      if (step == 1) {
        memcpy(out, self->frame_.data(), bytes);
      } else {
        for (uint32_t y = 0; y < self->height_; ++y) {
          for (uint32_t x = 0; x < self->width_; ++x) {
            out[y * self->width_ + x] = self->frame_[(y * step) * kSourceWidth + x * step];
          }
        }
        memset(out + self->width_ * self->height_, 128, self->width_ * self->height_ / 2);
      }
      plane.chunk->offset = 0;
      plane.chunk->size = static_cast<uint32_t>(bytes);
      plane.chunk->stride = static_cast<int32_t>(self->width_);
    }
    pw_stream_queue_buffer(self->stream_, buffer);
  }

  static constexpr pw_stream_events kEvents = [] {
    pw_stream_events events = {};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.param_changed = OnParamChanged;
    events.process = OnProcess;
    return events;
  }();

  pw_thread_loop* loop_;
  pw_stream* stream_ = nullptr;
  spa_source* wake_ = nullptr;
  std::atomic<pid_t> tid_{0};
  // Guarded by the thread loop's lock.
  std::vector<uint8_t> frame_;
  bool pending_ = false;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
};

// --- one measurement -----------------------------------------------------------

struct Figures {
  double median_ms = 0;
  double p99_ms = 0;
  double lost_per_1000 = 0;
  double cpu_percent = 0;
  size_t received = 0;
};

bool NodeListed(const char* name) {
  const std::string command =
      std::string("pw-cli ls Node 2>/dev/null | grep -q 'node.name = \"") + name + "\"'";
  return system(command.c_str()) == 0;
}

// Writes frames at `rate` for warm-up plus `seconds`, each through
// `write` (into the camera's area, or to the floor node), and collects what
// `client` receives; `cpu_stat` is the /proc stat file whose CPU counts.
template <class Write>
Figures Measure(Client* client, int rate, double seconds, const std::string& cpu_stat,
                Write write) {
  std::vector<uint8_t> frame(tessel::PlanarFrameBytes(kSourceWidth, kSourceHeight), 128);
  memset(frame.data(), 90, kSourceWidth * kSourceHeight);
  const int64_t interval = kNsPerSecond / rate;
  const int warmup = rate;  // one second
  const int measured = static_cast<int>(seconds * rate);
  const int64_t start = NowNs();
  double cpu_before = 0;
  int64_t measure_start = 0;
  uint32_t first_measured = 0;
  uint32_t last_measured = 0;
  for (int i = 0; i < warmup + measured && !interrupted; ++i) {
    SleepUntil(start + i * interval);
    if (i == warmup) {
      client->Take();  // the warm-up's frames do not count
      cpu_before = CpuSeconds(cpu_stat);
      measure_start = NowNs();
      first_measured = static_cast<uint32_t>(i + 1);
    }
    const uint32_t sequence = static_cast<uint32_t>(i + 1);
    Encode(frame.data(), static_cast<uint64_t>(NowNs()), sequence);
    write(frame);
    last_measured = sequence;
  }
  const double elapsed = static_cast<double>(NowNs() - measure_start) / kNsPerSecond;
  const double cpu = CpuSeconds(cpu_stat) - cpu_before;
  SleepUntil(NowNs() + kNsPerSecond / 5);  // the last frames on their way
  const std::vector<Receipt> receipts = client->Take();

  Figures figures;
  std::vector<int64_t> latencies;
  std::map<uint32_t, bool> seen;
  for (const Receipt& receipt : receipts) {
    if (receipt.sequence < first_measured || receipt.sequence > last_measured) continue;
    if (seen[receipt.sequence]) continue;
    seen[receipt.sequence] = true;
    latencies.push_back(receipt.latency_ns);
  }
  figures.received = latencies.size();
  if (!latencies.empty()) {
    std::sort(latencies.begin(), latencies.end());
    figures.median_ms = latencies[latencies.size() / 2] / 1e6;
    figures.p99_ms = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)] / 1e6;
  }
  const double expected = last_measured >= first_measured ? last_measured - first_measured + 1 : 0;
  figures.lost_per_1000 = expected > 0 ? 1000.0 * (expected - latencies.size()) / expected : 0;
  figures.cpu_percent = elapsed > 0 ? 100.0 * cpu / elapsed : 0;
  return figures;
}

// Starts a private session and runs this program again inside it.
int RunInPrivateSession(char** argv) {
  const std::string script = std::string(QUORVEX_SOURCE_DIR) + "/scripts/pipewire-session.sh";
  std::vector<char*> args = {const_cast<char*>(script.c_str()), const_cast<char*>("run"),
                             const_cast<char*>("--"), const_cast<char*>("/proc/self/exe")};
  std::string self_path(4096, '\0');
  const ssize_t length = readlink("/proc/self/exe", &self_path[0], self_path.size() - 1);
  if (length <= 0) return 1;
  self_path.resize(static_cast<size_t>(length));
  args[3] = &self_path[0];
  for (char** arg = argv + 1; *arg != nullptr; ++arg) args.push_back(*arg);
  args.push_back(nullptr);
  fprintf(stderr, "publish_bench: no PipeWire session here; starting a private one\n");
  execv(args[0], args.data());
  perror("publish_bench: cannot run pipewire-session.sh");
  return 1;
}

bool InSession() {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr) return false;
  struct stat info;
  return stat((std::string(runtime) + "/pipewire-0").c_str(), &info) == 0;
}

void PrintRow(const char* what, const Figures& ours, const Figures& floor) {
  printf("%-22s %8.2f %8.2f %8.2f %8.2f %7.1f %7.1f %7.2f %7.2f   %5.2fx %5.2fx\n", what,
         ours.median_ms, floor.median_ms, ours.p99_ms, floor.p99_ms, ours.lost_per_1000,
         floor.lost_per_1000, ours.cpu_percent, floor.cpu_percent,
         floor.median_ms > 0 ? ours.median_ms / floor.median_ms : 0,
         floor.p99_ms > 0 ? ours.p99_ms / floor.p99_ms : 0);
}

int Run(pw_thread_loop* client_loop, pw_thread_loop* floor_loop, double seconds,
        const std::string& load_before);

}  // namespace

int main(int argc, char** argv) {
  double seconds = 5;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      printf(
          "Usage: publish_bench [--seconds S]\n"
          "Times frames from the producer's write to a PipeWire client's receipt through\n"
          "QuorvexLumenPlug publish, beside a floor without the camera (S seconds per\n"
          "configuration, default 5). Starts a private PipeWire session when none runs.\n");
      return 0;
    }
    if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = atof(argv[++i]);
      if (seconds <= 0) seconds = 5;
      continue;
    }
    fprintf(stderr, "publish_bench: unknown argument %s (see --help)\n", argv[i]);
    return 2;
  }
  if (!InSession()) return RunInPrivateSession(argv);

  struct sigaction action = {};
  action.sa_handler = Interrupt;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  const std::string load_before = LoadAverage();
  pw_init(nullptr, nullptr);
  // The client and the floor on loops of their own, so that the floor's
  // CPU is its loop thread's.
  pw_thread_loop* client_loop = pw_thread_loop_new("bench-client", nullptr);
  pw_thread_loop* floor_loop = pw_thread_loop_new("bench-floor", nullptr);
  pw_thread_loop_start(client_loop);
  pw_thread_loop_start(floor_loop);

  int status = Run(client_loop, floor_loop, seconds, load_before);
  pw_thread_loop_stop(client_loop);
  pw_thread_loop_stop(floor_loop);
  pw_thread_loop_destroy(client_loop);
  pw_thread_loop_destroy(floor_loop);
  pw_deinit();
  return interrupted ? 130 : status;
}

namespace {

// Everything that uses the loops, gone before they are.
int Run(pw_thread_loop* client_loop, pw_thread_loop* floor_loop, double seconds,
        const std::string& load_before) {
  lumenplug::FrameProducer producer(tessel::kDeviceName);
  // The camera's semaphore outlives its users, as the camera expects; the
  // bench leaves the machine as it found it.
  const std::string semaphore = "/dev/shm/sem." + producer.semaphore_name();
  struct stat existing;
  const bool semaphore_was_there = stat(semaphore.c_str(), &existing) == 0;
  std::string error;
  if (!producer.Attach(&error)) {
    fprintf(stderr, "publish_bench: cannot feed the camera: %s\n", error.c_str());
    return 1;
  }
  // publish, built beside this program.
  std::string self(4096, '\0');
  self.resize(
      static_cast<size_t>(std::max<ssize_t>(0, readlink("/proc/self/exe", &self[0], 4095))));
  const std::string publish_path = self.substr(0, self.rfind('/')) + "/QuorvexLumenPlug";
  const pid_t publish = fork();
  if (publish == 0) {
    execl(publish_path.c_str(), publish_path.c_str(), "publish", "--quiet", nullptr);
    _exit(127);
  }
  std::vector<uint8_t> blank(tessel::PlanarFrameBytes(kSourceWidth, kSourceHeight), 128);
  producer.Publish(blank.data(), kSourceWidth, kSourceHeight, &error);
  FloorSource floor(floor_loop);
  for (int i = 0; i < 100 && !(NodeListed(kCameraNode) && NodeListed(kFloorNode)); ++i) {
    SleepUntil(NowNs() + kNsPerSecond / 10);
  }
  const std::string publish_stat = "/proc/" + std::to_string(publish) + "/stat";

  printf("publish_bench: %.0f s per configuration, load average before: %s\n", seconds,
         load_before.c_str());
  printf("%-22s %17s %17s %15s %15s   %12s\n", "", "median ms", "p99 ms", "lost/1000", "CPU % core",
         "ratio");
  printf("%-22s %8s %8s %8s %8s %7s %7s %7s %7s   %6s %6s\n", "configuration", "publish", "floor",
         "publish", "floor", "publish", "floor", "publish", "floor", "median", "p99");
  struct Configuration {
    const char* name;
    uint32_t width;
    int rate;
  } configurations[] = {{"640x480 native @30", 640, 30},
                        {"640x480 native @60", 640, 60},
                        {"320x240 scaled @30", 320, 30},
                        {"320x240 scaled @60", 320, 60}};
  for (const Configuration& c : configurations) {
    if (interrupted) break;
    Figures ours;
    {
      Client client(client_loop, kCameraNode, c.width, c.width * 3 / 4);
      ours = Measure(&client, c.rate, seconds, publish_stat, [&](const std::vector<uint8_t>& f) {
        producer.Publish(f.data(), kSourceWidth, kSourceHeight, &error);
      });
    }
    Figures floor_figures;
    {
      Client client(client_loop, kFloorNode, c.width, c.width * 3 / 4);
      SleepUntil(NowNs() + kNsPerSecond / 2);  // linked before the clock starts
      const std::string floor_stat =
          "/proc/self/task/" + std::to_string(floor.loop_thread()) + "/stat";
      floor_figures = Measure(&client, c.rate, seconds, floor_stat,
                              [&](const std::vector<uint8_t>& f) { floor.Send(f); });
    }
    PrintRow(c.name, ours, floor_figures);
    fflush(stdout);
  }
  printf(
      "targets: median <= 4 ms, p99 <= 8 ms, 0 lost per 1,000, publish <= 2%% of a core at "
      "640x480@30\n");
  printf("load average after: %s\n", LoadAverage().c_str());

  kill(publish, SIGTERM);
  waitpid(publish, nullptr, 0);
  producer.Detach();
  if (!semaphore_was_there) sem_unlink(producer.semaphore_name().c_str());
  return 0;
}

}  // namespace
