// The publish command: makes the camera a PipeWire camera, the way Linux
// applications (browsers through the camera portal, video-call programs,
// OBS, GStreamer's pipewiresrc) find cameras.
//
// It opens the camera through the component manager with the same calls as
// capture and keeps it open, and offers one PipeWire stream node of class
// Video/Source and role Camera. The size a client negotiates becomes the
// camera's digitizer rectangle, so the camera's own scaler and letterboxing
// make the frames; publish only repacks them into the negotiated pixel
// format. Each frame the camera delivers goes out once, in a buffer stamped
// with the camera's time stamp; while no producer feeds the camera, a "no
// picture" card goes out a few times a second, so that clients neither
// freeze nor time out.
//
// Threads: the PipeWire main loop runs on the main thread and never calls
// the camera; a CameraPump polls it on a thread of its own and hands the
// newest frame over. A loop event wakes the main loop for each frame.
//
// Signals: SIGINT, SIGTERM and SIGHUP end the main loop (PipeWire reads them
// from a signalfd); the node is removed, capture stops and the camera is
// closed before the program exits with status 0.
//
// When the PipeWire daemon goes away the node goes with it; publish keeps
// the camera open and connects again as soon as the daemon is back.
#include <errno.h>
#include <pipewire/pipewire.h>
#include <signal.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sharedmem/sharedframearea.h"
#include "platform/components.h"
#include "platform/memory.h"
#include "tools/QuorvexLumenPlug/arguments.h"
#include "tools/QuorvexLumenPlug/camera.h"
#include "tools/QuorvexLumenPlug/camerapump.h"
#include "tools/QuorvexLumenPlug/commands.h"
#include "tools/QuorvexLumenPlug/framehandover.h"
#include "tools/QuorvexLumenPlug/nopicture.h"
#include "tools/QuorvexLumenPlug/options.h"
#include "tools/QuorvexLumenPlug/pixelformats.h"

namespace lumenplug {

namespace {

const char kPublishHelp[] =
    "Usage: QuorvexLumenPlug publish [options]\n"
    "\n"
    "Publishes the virtual camera \"Quorvex Camera Adapter 0\" as a PipeWire camera\n"
    "(a Video/Source node of role Camera), where browsers, video-call programs,\n"
    "OBS and GStreamer (pipewiresrc) find it. Runs until Ctrl-C or SIGTERM.\n"
    "\n"
    "  QuorvexLumenPlug feed & QuorvexLumenPlug publish\n"
    "  gst-launch-1.0 pipewiresrc target-object=quorvex-camera ! videoconvert ! autovideosink\n"
    "\n"
    "Options:\n"
    "  --size WxH        the size offered first (default 640x480); clients may ask for\n"
    "                    any size up to 640x480, and the camera scales to it\n"
    "  --node-name NAME  the node's name (default quorvex-camera)\n"
    "  --verbose         tell every call made to the camera and every negotiation\n"
    "  --quiet           report only errors\n"
    "  -h, --help        show this help\n"
    "\n"
    "Formats: I420 (the camera's own), NV12 and YUY2; frame rates 1 to 60, the\n"
    "producer's own by default. Without a producer the camera shows a \"no picture\"\n"
    "card. publish needs a running PipeWire (and a session manager such as\n"
    "WirePlumber to link clients to it).\n";

constexpr char kDefaultNodeName[] = "quorvex-camera";
constexpr int64_t kNsPerSecond = 1000000000;
constexpr int64_t kNsPerMs = 1000000;
// Without a frame for this long the camera counts as having no picture; a
// producer slower than one frame a second gets a few of its intervals.
constexpr int64_t kNoPictureAfterNs = 1000 * kNsPerMs;
constexpr double kNoPictureAfterIntervals = 2.5;
// How often the "no picture" card goes out meanwhile.
constexpr int64_t kNoPictureIntervalNs = 200 * kNsPerMs;
// The housekeeping timer: the card, the status line, the camera's health.
constexpr int64_t kTickNs = 100 * kNsPerMs;
constexpr int64_t kStatusIntervalNs = 500 * kNsPerMs;
// How often a lost daemon is looked for again.
constexpr int64_t kReconnectIntervalNs = 200 * kNsPerMs;
// How long start-up waits for the producer's first frames to learn its rate.
constexpr int64_t kRateProbeNs = 600 * kNsPerMs;
constexpr int kDefaultRate = 30;
constexpr int kMaxRate = 60;
// Every whole rate from 1 to 60 frames per second, fastest first.
constexpr auto kListedRates = [] {
  std::array<uint32_t, kMaxRate> rates = {};
  for (int i = 0; i < kMaxRate; ++i) rates[i] = static_cast<uint32_t>(kMaxRate - i);
  return rates;
}();
constexpr uint32_t kMaxOfferedWidth = 640;
constexpr uint32_t kMaxOfferedHeight = 480;

// The sizes cameras usually offer, largest first.
const spa_rectangle kUsualSizes[] = {
    {640, 480}, {640, 360}, {352, 288}, {320, 240}, {176, 144}, {160, 120},
};

struct PixelFormatId {
  PixelFormat format;
  spa_video_format id;
};
// In order of preference: the camera's own first.
const PixelFormatId kFormats[] = {
    {PixelFormat::kI420, SPA_VIDEO_FORMAT_I420},
    {PixelFormat::kNV12, SPA_VIDEO_FORMAT_NV12},
    {PixelFormat::kYUY2, SPA_VIDEO_FORMAT_YUY2},
};

struct PublishOptions {
  std::string device = tessel::kDeviceName;
  std::string node_name = kDefaultNodeName;
  uint32_t width = 640;
  uint32_t height = 480;
  bool verbose = false;
  bool quiet = false;
};

int UsageError(const std::string& message) { return ReportUsageError("publish", message); }
int Failure(const std::string& message) { return ReportFailure("publish", message); }

struct timespec Timespec(int64_t ns) {
  return {static_cast<time_t>(ns / kNsPerSecond), static_cast<long>(ns % kNsPerSecond)};
}

int ParsePublishOptions(int argc, char** argv, PublishOptions* options) {
  Arguments args(argc, argv);
  std::string value;
  std::string error;
  while (!args.AtEnd()) {
    if (args.TakeEndOfOptions()) continue;
    if (!args.IsOption()) return UsageError("unexpected argument " + args.Peek());
    if (args.TakeFlag("--help") || args.TakeFlag("-h")) {
      fputs(kPublishHelp, stdout);
      return kExitOk;
    }
    if (args.TakeFlag("--verbose")) {
      options->verbose = true;
    } else if (args.TakeFlag("--quiet")) {
      options->quiet = true;
    } else if (args.TakeValue("--size", &value, &error)) {
      if (!error.empty()) return UsageError(error);
      if (!ParseSize(value, &options->width, &options->height, &error)) {
        return UsageError("--size " + error);
      }
      if (options->width > kMaxOfferedWidth || options->height > kMaxOfferedHeight) {
        return UsageError("--size " + value + " is too large: at most 640x480");
      }
    } else if (args.TakeValue("--node-name", &value, &error)) {
      if (!error.empty()) return UsageError(error);
      if (value.empty()) return UsageError("--node-name needs a name");
      options->node_name = value;
    } else if (args.TakeValue("--device", &value, &error)) {
      // For tests: publish a camera of another name.
      if (!error.empty()) return UsageError(error);
      options->device = value;
    } else {
      return UsageError("unknown option " + args.Peek());
    }
  }
  if (options->verbose && options->quiet) {
    return UsageError("--verbose and --quiet cannot be given together");
  }
  return -1;
}

// Why connecting to PipeWire failed, in terms a user can act on. The
// library's own error number says little here (a missing socket comes back
// as "Host is down"), so it is told only when the socket exists.
std::string DescribeMissingPipeWire(int error_number) {
  const char* runtime = getenv("PIPEWIRE_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == '\0') runtime = getenv("XDG_RUNTIME_DIR");
  const char* remote = getenv("PIPEWIRE_REMOTE");
  const std::string socket_name = remote && *remote ? remote : "pipewire-0";
  const std::string text = "cannot connect to PipeWire: ";
  const char* advice =
      "; start it (systemctl --user start pipewire wireplumber) or a private session "
      "(scripts/pipewire-session.sh start)";
  if (socket_name[0] != '/' && (runtime == nullptr || *runtime == '\0')) {
    return text + "XDG_RUNTIME_DIR is not set, so there is no PipeWire session to join" + advice;
  }
  const std::string socket_path =
      socket_name[0] == '/' ? socket_name : std::string(runtime) + "/" + socket_name;
  struct stat info;
  if (stat(socket_path.c_str(), &info) != 0) {
    return text + "no PipeWire daemon runs in this session (there is no socket " + socket_path +
           ")" + advice;
  }
  return text + "the daemon does not answer at " + socket_path + " (" + strerror(error_number) +
         ")" + advice;
}

// The node, its stream and the connection to the daemon. Lives on the main
// thread; every callback below runs there.
class Publisher {
 public:
  explicit Publisher(const PublishOptions& options) : options_(options) {}
  ~Publisher();
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;

  // Makes the loop and the context; false, with the reason, on failure.
  bool Init(std::string* error);
  // Connects to the daemon; false, with the errno in *error_number, when it
  // cannot be reached.
  bool ConnectCore(int* error_number);
  // The camera whose frames the node publishes, and its name.
  void Attach(CameraPump* pump, const std::string& camera_name) {
    pump_ = pump;
    camera_name_ = camera_name;
  }
  // Offers the node; false, with errno set, when the daemon refuses it.
  bool CreateStream();
  // Runs until a signal or a failure ends the loop; the exit status.
  int Run();
  pw_loop* loop() const { return pw_main_loop_get_loop(main_loop_); }
  // Wakes the main loop from any thread: a frame is waiting, or the pump
  // failed.
  void SignalFrame() { pw_loop_signal_event(loop(), frame_event_); }

  void set_default_rate(int rate) { default_rate_ = rate; }

 private:
  static void OnFrameEvent(void* data, uint64_t count);
  static void OnTick(void* data, uint64_t expirations);
  static void OnReconnect(void* data, uint64_t expirations);
  static void OnSignal(void* data, int signal_number);
  static void OnCoreError(void* data, uint32_t id, int seq, int res, const char* message);
  static void OnRegistryGlobal(void* data, uint32_t id, uint32_t permissions, const char* type,
                               uint32_t version, const struct spa_dict* props);
  static void OnRegistryGlobalRemove(void* data, uint32_t id);
  static void OnStreamStateChanged(void* data, pw_stream_state old, pw_stream_state state,
                                   const char* error);
  static void OnStreamParamChanged(void* data, uint32_t id, const struct spa_pod* param);
  static void OnStreamProcess(void* data);

  void Teardown();
  void ScheduleReconnect(const char* why);
  void Negotiated(const struct spa_pod* param);
  void SendFrame();
  void Tick();
  // True while no producer frame came for longer than the producer's pace
  // explains.
  bool HasNoPicture(int64_t now) const;
  void ShowStatus(bool final_line);
  int CountClients() const;
  void Say(const std::string& text);

  const PublishOptions& options_;
  std::string camera_name_;
  CameraPump* pump_ = nullptr;
  int default_rate_ = kDefaultRate;

  pw_main_loop* main_loop_ = nullptr;
  pw_context* context_ = nullptr;
  spa_source* frame_event_ = nullptr;
  spa_source* tick_timer_ = nullptr;
  spa_source* reconnect_timer_ = nullptr;

  // Set while connected.
  pw_core* core_ = nullptr;
  spa_hook core_listener_ = {};
  pw_registry* registry_ = nullptr;
  spa_hook registry_listener_ = {};
  pw_stream* stream_ = nullptr;
  spa_hook stream_listener_ = {};
  bool reconnecting_ = false;
  bool told_lost_ = false;

  // The negotiated format; valid while `negotiated_`.
  bool negotiated_ = false;
  PixelFormat format_ = PixelFormat::kI420;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  spa_fraction rate_ = {30, 1};
  bool streaming_ = false;
  HandedFrame card_;  // the "no picture" card at the negotiated size
  bool card_due_ = false;

  // Links from our node, by link id, to count the clients.
  std::map<uint32_t, uint32_t> link_output_nodes_;

  int exit_status_ = kExitOk;
  uint64_t frames_sent_ = 0;
  uint64_t cards_sent_ = 0;
  uint64_t frames_dropped_ = 0;  // a frame came and no buffer was free
  uint64_t sequence_ = 0;
  int64_t last_card_ns_ = 0;
  int64_t last_status_ns_ = 0;
  uint64_t status_frames_ = 0;
  int64_t status_since_ns_ = 0;
  double fps_ = 0;
  bool status_shown_ = false;
};

Publisher::~Publisher() {
  Teardown();
  if (context_ != nullptr) pw_context_destroy(context_);
  if (main_loop_ != nullptr) pw_main_loop_destroy(main_loop_);
}

bool Publisher::Init(std::string* error) {
  main_loop_ = pw_main_loop_new(nullptr);
  if (main_loop_ == nullptr) {
    *error = std::string("cannot make PipeWire's main loop: ") + strerror(errno);
    return false;
  }
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    pw_loop_add_signal(loop(), signal_number, OnSignal, this);
  }
  context_ = pw_context_new(loop(), nullptr, 0);
  if (context_ == nullptr) {
    *error = std::string("cannot make a PipeWire context: ") + strerror(errno);
    return false;
  }
  frame_event_ = pw_loop_add_event(loop(), OnFrameEvent, this);
  tick_timer_ = pw_loop_add_timer(loop(), OnTick, this);
  reconnect_timer_ = pw_loop_add_timer(loop(), OnReconnect, this);
  if (frame_event_ == nullptr || tick_timer_ == nullptr || reconnect_timer_ == nullptr) {
    *error = std::string("cannot set up PipeWire's loop: ") + strerror(errno);
    return false;
  }
  return true;
}

bool Publisher::ConnectCore(int* error_number) {
  core_ = pw_context_connect(context_, nullptr, 0);
  if (core_ == nullptr) {
    *error_number = errno;
    return false;
  }
  static pw_core_events core_events = [] {
    pw_core_events events = {};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = OnCoreError;
    return events;
  }();
  pw_core_add_listener(core_, &core_listener_, &core_events, this);

  static pw_registry_events registry_events = [] {
    pw_registry_events events = {};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = OnRegistryGlobal;
    events.global_remove = OnRegistryGlobalRemove;
    return events;
  }();
  registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
  if (registry_ != nullptr) {
    pw_registry_add_listener(registry_, &registry_listener_, &registry_events, this);
  }
  return true;
}

// One EnumFormat: `format` at `size`, or at any size up to 640x480 when
// `size` is null (a range, `preferred` first); frame rates 1 to 60, `rate`
// first.
const spa_pod* BuildEnumFormat(spa_pod_builder* builder, spa_video_format format,
                               const spa_rectangle* size, spa_rectangle preferred, int rate) {
  spa_pod_frame object;
  spa_pod_frame choice;
  spa_pod_builder_push_object(builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_pod_builder_prop(builder, SPA_FORMAT_mediaType, 0);
  spa_pod_builder_id(builder, SPA_MEDIA_TYPE_video);
  spa_pod_builder_prop(builder, SPA_FORMAT_mediaSubtype, 0);
  spa_pod_builder_id(builder, SPA_MEDIA_SUBTYPE_raw);
  spa_pod_builder_prop(builder, SPA_FORMAT_VIDEO_format, 0);
  spa_pod_builder_id(builder, format);
  spa_pod_builder_prop(builder, SPA_FORMAT_VIDEO_size, 0);
  if (size != nullptr) {
    spa_pod_builder_rectangle(builder, size->width, size->height);
  } else {
    spa_pod_builder_push_choice(builder, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_rectangle(builder, preferred.width, preferred.height);
    spa_pod_builder_rectangle(builder, 1, 1);
    spa_pod_builder_rectangle(builder, kMaxOfferedWidth, kMaxOfferedHeight);
    spa_pod_builder_pop(builder, &choice);
  }
  // The rates as a list, the producer's first: offered as a range, browsers
  // fixate it to its minimum, 1/1, and then really show one frame a second.
  spa_pod_builder_prop(builder, SPA_FORMAT_VIDEO_framerate, 0);
  spa_pod_builder_push_choice(builder, &choice, SPA_CHOICE_Enum, 0);
  spa_pod_builder_fraction(builder, static_cast<uint32_t>(rate), 1);
  spa_pod_builder_fraction(builder, static_cast<uint32_t>(rate), 1);
  for (uint32_t listed : kListedRates) {
    if (listed != static_cast<uint32_t>(rate)) spa_pod_builder_fraction(builder, listed, 1);
  }
  spa_pod_builder_pop(builder, &choice);
  return static_cast<const spa_pod*>(spa_pod_builder_pop(builder, &object));
}

bool Publisher::CreateStream() {
  pw_properties* props = pw_properties_new(
      PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_MEDIA_TYPE, "Video",
      PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_NODE_NAME, options_.node_name.c_str(),
      PW_KEY_NODE_DESCRIPTION, camera_name_.c_str(), PW_KEY_NODE_NICK, camera_name_.c_str(),
      PW_KEY_MEDIA_NAME, camera_name_.c_str(), nullptr);
  stream_ = pw_stream_new(core_, options_.node_name.c_str(), props);
  if (stream_ == nullptr) return false;
  static pw_stream_events stream_events = [] {
    pw_stream_events events = {};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = OnStreamStateChanged;
    events.param_changed = OnStreamParamChanged;
    events.process = OnStreamProcess;
    return events;
  }();
  pw_stream_add_listener(stream_, &stream_listener_, &stream_events, this);

  // Each usual size is a format of its own with a fixed size, the preferred
  // one first: browsers (libwebrtc) take only fixed sizes from a camera's
  // formats and leave out a camera that offers none. The ranges come last,
  // for clients that ask for another size.
  // 21 formats of 61 rates each take about 13 KiB.
  std::vector<uint8_t> buffer(64 * 1024);
  spa_pod_builder builder =
      SPA_POD_BUILDER_INIT(buffer.data(), static_cast<uint32_t>(buffer.size()));
  std::vector<const spa_pod*> params;
  const spa_rectangle preferred = {options_.width, options_.height};
  std::vector<spa_rectangle> sizes = {preferred};
  for (const spa_rectangle& size : kUsualSizes) {
    if (size.width != preferred.width || size.height != preferred.height) sizes.push_back(size);
  }
  for (const PixelFormatId& format : kFormats) {
    for (const spa_rectangle& size : sizes) {
      params.push_back(BuildEnumFormat(&builder, format.id, &size, preferred, default_rate_));
    }
  }
  for (const PixelFormatId& format : kFormats) {
    params.push_back(BuildEnumFormat(&builder, format.id, nullptr, preferred, default_rate_));
  }
  if (std::find(params.begin(), params.end(), nullptr) != params.end()) {
    errno = ENOSPC;  // the formats did not fit the builder
    return false;
  }
  const int connected = pw_stream_connect(
      stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
      params.data(), static_cast<uint32_t>(params.size()));
  if (connected < 0) {
    errno = -connected;
    return false;
  }
  return true;
}

void Publisher::Teardown() {
  if (stream_ != nullptr) {
    spa_hook_remove(&stream_listener_);
    pw_stream_destroy(stream_);
    stream_ = nullptr;
  }
  if (registry_ != nullptr) {
    spa_hook_remove(&registry_listener_);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    registry_ = nullptr;
  }
  if (core_ != nullptr) {
    spa_hook_remove(&core_listener_);
    pw_core_disconnect(core_);
    core_ = nullptr;
  }
  negotiated_ = false;
  streaming_ = false;
  link_output_nodes_.clear();
}

void Publisher::Say(const std::string& text) {
  if (options_.quiet) return;
  if (status_shown_) fputc('\n', stderr);
  fprintf(stderr, "publish: %s\n", text.c_str());
  status_shown_ = false;
}

// The daemon went away (or refused the node): drop what belonged to the
// old connection outside its callbacks, and look for the daemon again.
void Publisher::ScheduleReconnect(const char* why) {
  if (reconnecting_) return;
  reconnecting_ = true;
  if (!told_lost_) Say(std::string(why) + "; the camera stays open, waiting for PipeWire");
  told_lost_ = true;
  struct timespec soon = {0, 1};
  struct timespec every = Timespec(kReconnectIntervalNs);
  pw_loop_update_timer(loop(), reconnect_timer_, &soon, &every, false);
}

void Publisher::OnReconnect(void* data, uint64_t) {
  auto* self = static_cast<Publisher*>(data);
  self->Teardown();
  int error_number = 0;
  if (!self->ConnectCore(&error_number)) return;  // the timer tries again
  if (!self->CreateStream()) {
    self->Teardown();
    return;
  }
  self->reconnecting_ = false;
  pw_loop_update_timer(self->loop(), self->reconnect_timer_, nullptr, nullptr, false);
  self->Say("PipeWire is back; node " + self->options_.node_name + " is published again");
  self->told_lost_ = false;
}

void Publisher::OnSignal(void* data, int) {
  auto* self = static_cast<Publisher*>(data);
  pw_main_loop_quit(self->main_loop_);
}

void Publisher::OnCoreError(void* data, uint32_t id, int, int res, const char* message) {
  auto* self = static_cast<Publisher*>(data);
  if (self->options_.verbose) {
    fprintf(stderr, "publish: PipeWire error on object %u: %s (%s)\n", id, message,
            spa_strerror(res));
  }
  if (id == PW_ID_CORE && res == -EPIPE) self->ScheduleReconnect("PipeWire went away");
}

void Publisher::OnRegistryGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                                 const struct spa_dict* props) {
  auto* self = static_cast<Publisher*>(data);
  if (strcmp(type, PW_TYPE_INTERFACE_Link) != 0 || props == nullptr) return;
  const char* output = spa_dict_lookup(props, PW_KEY_LINK_OUTPUT_NODE);
  if (output == nullptr) return;
  self->link_output_nodes_[id] = static_cast<uint32_t>(strtoul(output, nullptr, 10));
}

void Publisher::OnRegistryGlobalRemove(void* data, uint32_t id) {
  static_cast<Publisher*>(data)->link_output_nodes_.erase(id);
}

int Publisher::CountClients() const {
  if (stream_ == nullptr) return 0;
  const uint32_t node = pw_stream_get_node_id(stream_);
  int clients = 0;
  for (const auto& link : link_output_nodes_) clients += link.second == node ? 1 : 0;
  return clients;
}

void Publisher::OnStreamStateChanged(void* data, pw_stream_state, pw_stream_state state,
                                     const char* error) {
  auto* self = static_cast<Publisher*>(data);
  self->streaming_ = state == PW_STREAM_STATE_STREAMING;
  if (self->options_.verbose) {
    fprintf(stderr, "publish: node %s (id %u): %s%s%s\n", self->options_.node_name.c_str(),
            pw_stream_get_node_id(self->stream_), pw_stream_state_as_string(state),
            error ? ": " : "", error ? error : "");
  }
  if (state == PW_STREAM_STATE_ERROR) {
    self->ScheduleReconnect(
        (std::string("PipeWire dropped the node: ") + (error ? error : "no reason given")).c_str());
  }
  // A new client should see the card at once, not after the next interval.
  if (self->streaming_) self->last_card_ns_ = 0;
}

void Publisher::OnStreamParamChanged(void* data, uint32_t id, const struct spa_pod* param) {
  auto* self = static_cast<Publisher*>(data);
  if (id != SPA_PARAM_Format) return;
  if (param == nullptr) {
    self->negotiated_ = false;
    return;
  }
  self->Negotiated(param);
}

void Publisher::Negotiated(const struct spa_pod* param) {
  uint32_t media_type = 0;
  uint32_t media_subtype = 0;
  spa_video_info_raw info = {};
  if (spa_format_parse(param, &media_type, &media_subtype) < 0 ||
      media_type != SPA_MEDIA_TYPE_video || media_subtype != SPA_MEDIA_SUBTYPE_raw ||
      spa_format_video_raw_parse(param, &info) < 0) {
    pw_stream_set_error(stream_, -EINVAL, "not a raw video format");
    return;
  }
  const PixelFormatId* chosen = nullptr;
  for (const PixelFormatId& format : kFormats) {
    if (format.id == info.format) chosen = &format;
  }
  if (chosen == nullptr || !IsDeliverableSize(info.size.width, info.size.height) ||
      info.size.width > kMaxOfferedWidth || info.size.height > kMaxOfferedHeight) {
    pw_stream_set_error(stream_, -EINVAL, "a format the camera does not offer");
    return;
  }
  format_ = chosen->format;
  width_ = info.size.width;
  height_ = info.size.height;
  rate_ = info.framerate;
  negotiated_ = true;
  pump_->RequestSize(width_, height_);
  card_.bytes.resize(tessel::PlanarFrameBytes(width_, height_));
  card_.width = width_;
  card_.height = height_;
  RenderNoPicture(camera_name_, width_, height_, card_.bytes.data());
  last_card_ns_ = 0;
  if (options_.verbose) {
    fprintf(stderr, "publish: negotiated %ux%u %s at %u/%u frames per second\n", width_, height_,
            PixelFormatName(format_), rate_.num, rate_.denom);
  }

  const uint32_t size = static_cast<uint32_t>(PublishedFrameBytes(format_, width_, height_));
  const uint32_t stride = PublishedStride(format_, width_);
  uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
  const spa_pod* params[2];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(4, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
      SPA_PARAM_BUFFERS_size, SPA_POD_Int(size), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(stride)));
  params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
      SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
  pw_stream_update_params(stream_, params, 2);
}

void Publisher::OnStreamProcess(void* data) { static_cast<Publisher*>(data)->SendFrame(); }

// Sends the newest frame, or the card when it is due. Runs when the stream
// is triggered (we drive the graph) or when the graph's driver asks.
void Publisher::SendFrame() {
  if (!negotiated_ || stream_ == nullptr) return;
  const HandedFrame* frame = pump_->handover()->TakeNewest();
  bool card = false;
  if (frame == nullptr && card_due_) {
    frame = &card_;
    card = true;
  }
  card_due_ = false;
  // Frames made before a renegotiation have the old size; the next one has
  // the new.
  if (frame == nullptr || frame->width != width_ || frame->height != height_) return;
  pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
  if (buffer == nullptr) {
    ++frames_dropped_;
    return;
  }
  spa_buffer* out = buffer->buffer;
  spa_data& plane = out->datas[0];
  const size_t bytes = PublishedFrameBytes(format_, width_, height_);
  if (plane.data == nullptr || plane.maxsize < bytes) {
    // A buffer we cannot fill: give it back empty rather than half a frame.
    plane.chunk->offset = 0;
    plane.chunk->size = 0;
    plane.chunk->stride = 0;
    pw_stream_queue_buffer(stream_, buffer);
    ++frames_dropped_;
    return;
  }
  ConvertFromCamera(frame->bytes.data(), width_, height_, format_,
                    static_cast<uint8_t*>(plane.data));
  plane.chunk->offset = 0;
  plane.chunk->size = static_cast<uint32_t>(bytes);
  plane.chunk->stride = static_cast<int32_t>(PublishedStride(format_, width_));
  plane.chunk->flags = SPA_CHUNK_FLAG_NONE;
  auto* header = static_cast<spa_meta_header*>(
      spa_buffer_find_meta_data(out, SPA_META_Header, sizeof(spa_meta_header)));
  if (header != nullptr) {
    header->flags = 0;
    header->offset = 0;
    header->pts = card ? MonotonicNs() : frame->pts_ns;
    header->dts_offset = 0;
    header->seq = sequence_++;
  }
  pw_stream_queue_buffer(stream_, buffer);
  if (card) {
    ++cards_sent_;
  } else {
    ++frames_sent_;
  }
}

void Publisher::OnFrameEvent(void* data, uint64_t) {
  auto* self = static_cast<Publisher*>(data);
  if (self->pump_->failed()) {
    // An error: told also with --quiet.
    if (self->status_shown_) fputc('\n', stderr);
    self->status_shown_ = false;
    fprintf(stderr, "publish: the camera failed: %s\n", self->pump_->error().c_str());
    self->exit_status_ = kExitFailure;
    pw_main_loop_quit(self->main_loop_);
    return;
  }
  if (self->stream_ == nullptr || !self->negotiated_) {
    self->pump_->handover()->TakeNewest();  // nobody to give it to
    return;
  }
  if (self->streaming_ && pw_stream_is_driving(self->stream_)) {
    pw_stream_trigger_process(self->stream_);
  }
}

bool Publisher::HasNoPicture(int64_t now) const {
  const int64_t last_frame = pump_->last_frame_ns();
  if (last_frame == 0) return true;
  const auto paced = static_cast<int64_t>(kNoPictureAfterIntervals *
                                          static_cast<double>(pump_->last_interval_ns()));
  return now - last_frame >= std::max(kNoPictureAfterNs, paced);
}

void Publisher::OnTick(void* data, uint64_t) { static_cast<Publisher*>(data)->Tick(); }

void Publisher::Tick() {
  const int64_t now = MonotonicNs();
  const bool no_picture = HasNoPicture(now);
  if (no_picture && negotiated_ && streaming_ && stream_ != nullptr &&
      now - last_card_ns_ >= kNoPictureIntervalNs) {
    last_card_ns_ = now;
    card_due_ = true;
    if (pw_stream_is_driving(stream_)) pw_stream_trigger_process(stream_);
  }
  if (now - last_status_ns_ >= kStatusIntervalNs) {
    const uint64_t sent = frames_sent_ + cards_sent_;
    if (status_since_ns_ != 0 && now > status_since_ns_) {
      fps_ = static_cast<double>(sent - status_frames_) * kNsPerSecond /
             static_cast<double>(now - status_since_ns_);
    }
    status_frames_ = sent;
    status_since_ns_ = now;
    last_status_ns_ = now;
    ShowStatus(false);
  }
}

// The live status line, when standard error is a terminal.
void Publisher::ShowStatus(bool final_line) {
  if (options_.quiet || options_.verbose || !isatty(STDERR_FILENO)) return;
  const bool no_picture = HasNoPicture(MonotonicNs());
  const int clients = CountClients();
  char text[256];
  if (stream_ == nullptr) {
    snprintf(text, sizeof(text), "waiting for PipeWire");
  } else if (!negotiated_) {
    snprintf(text, sizeof(text), "%s published, no client", options_.node_name.c_str());
  } else {
    snprintf(text, sizeof(text), "%d client%s, %ux%u %s, %llu frames sent, %.1f fps%s", clients,
             clients == 1 ? "" : "s", width_, height_, PixelFormatName(format_),
             static_cast<unsigned long long>(frames_sent_), fps_, no_picture ? ", no picture" : "");
  }
  fprintf(stderr, "\rpublish: %-70s", text);
  if (final_line) fputc('\n', stderr);
  fflush(stderr);
  status_shown_ = !final_line;
}

int Publisher::Run() {
  struct timespec first = Timespec(kTickNs);
  struct timespec every = Timespec(kTickNs);
  pw_loop_update_timer(loop(), tick_timer_, &first, &every, false);
  pw_main_loop_run(main_loop_);
  if (status_shown_) ShowStatus(true);
  if (!options_.quiet) {
    fprintf(stderr, "publish: %llu frames and %llu \"no picture\" cards sent",
            static_cast<unsigned long long>(frames_sent_),
            static_cast<unsigned long long>(cards_sent_));
    if (frames_dropped_ > 0) {
      fprintf(stderr, ", %llu frames found no free buffer",
              static_cast<unsigned long long>(frames_dropped_));
    }
    fputc('\n', stderr);
  }
  Teardown();
  return exit_status_;
}

// Opens and prepares the camera as capture does, and reads its device name
// from its component strings.
bool OpenAndPrepare(const PublishOptions& options, std::unique_ptr<Camera>* camera,
                    std::string* camera_name, std::string* error) {
  ComponentInstance instance = nullptr;
  if (!OpenCamera(options.device, &instance, error)) return false;
  camera->reset(new Camera(instance, "publish", options.verbose));
  if (!(*camera)->DeliversFrames()) {
    *error = "the camera does not deliver frames (it lacks selectors 69 to 71)";
    return false;
  }
  // The device name is item 1 of the camera's string list 200.
  Str255 name = {0};
  *camera_name = options.device;
  if (GetComponentIndString(reinterpret_cast<Component>(instance), name, 200, 1) == noErr &&
      name[0] > 0) {
    *camera_name = PlatformPascalToString(name);
  }
  uint32_t width = 0;
  uint32_t height = 0;
  return PrepareCamera(camera->get(), std::make_pair(options.width, options.height), &width,
                       &height, error);
}

// The producer's rate as the first frames tell it, for the rate offered
// first; 30 when no producer feeds the camera yet.
int ProbeProducerRate(const CameraPump& pump) {
  const int64_t deadline = MonotonicNs() + kRateProbeNs;
  double rate = 0;
  while ((rate = pump.producer_rate()) == 0 && !pump.failed() && MonotonicNs() < deadline) {
    const struct timespec pause = {0, 10 * kNsPerMs};
    nanosleep(&pause, nullptr);
  }
  if (rate <= 0) return kDefaultRate;
  const int rounded = static_cast<int>(rate + 0.5);
  return rounded < 1 ? 1 : rounded > kMaxRate ? kMaxRate : rounded;
}

int Publish(const PublishOptions& options) {
  std::string error;
  // Destroyed in reverse order: the pump stops before the camera closes,
  // and both before the loop that the pump wakes goes away.
  Publisher publisher(options);
  if (!publisher.Init(&error)) return Failure(error);
  // Connect first: without PipeWire there is nothing to publish to, and
  // the camera is not opened for nothing.
  int error_number = 0;
  if (!publisher.ConnectCore(&error_number)) {
    return Failure(DescribeMissingPipeWire(error_number));
  }
  std::unique_ptr<Camera> camera;
  std::string camera_name;
  if (!OpenAndPrepare(options, &camera, &camera_name, &error)) return Failure(error);
  CameraPump pump(camera.get(), options.width, options.height,
                  [&publisher] { publisher.SignalFrame(); });
  if (!pump.Start(&error)) return Failure(error);
  publisher.set_default_rate(ProbeProducerRate(pump));
  publisher.Attach(&pump, camera_name);
  if (!publisher.CreateStream()) {
    return Failure(std::string("PipeWire refused the node: ") + strerror(errno));
  }
  if (!options.quiet) {
    fprintf(stderr, "publish: \"%s\" is published as PipeWire node %s\n", camera_name.c_str(),
            options.node_name.c_str());
  }
  const int status = publisher.Run();
  pump.Stop();
  return status;
}

}  // namespace

int RunPublish(int argc, char** argv) {
  PublishOptions options;
  const int parsed = ParsePublishOptions(argc, argv, &options);
  if (parsed >= 0) return parsed;
  signal(SIGPIPE, SIG_IGN);
  pw_init(nullptr, nullptr);
  const int status = Publish(options);
  pw_deinit();
  return status;
}

}  // namespace lumenplug
