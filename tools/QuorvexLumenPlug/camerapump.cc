#include "tools/QuorvexLumenPlug/camerapump.h"

#include <time.h>

#include <utility>

#include "sharedmem/sharedframearea.h"

namespace lumenplug {

namespace {

constexpr int64_t kNsPerSecond = 1000000000;
// The camera sleeps 5 ms in a poll that finds no frame; a poll that comes
// back sooner without one gets this pause, so that the thread never spins.
constexpr long kIdlePauseNs = 2 * 1000 * 1000;
// The slowest producer whose pace the pump keeps track of: one frame every
// ten seconds.
constexpr int64_t kLongestPaceNs = 10 * kNsPerSecond;

uint64_t PackSize(uint32_t width, uint32_t height) {
  return static_cast<uint64_t>(width) << 32 | height;
}

// A time record in nanoseconds; 64-bit products stay exact for any stamp a
// time base can reach in centuries.
int64_t StampNs(const TimeRecord& stamp) {
  if (stamp.scale <= 0 || stamp.value < 0) return -1;
  const int64_t seconds = stamp.value / stamp.scale;
  const int64_t rest = stamp.value % stamp.scale;
  return seconds * kNsPerSecond + rest * kNsPerSecond / stamp.scale;
}

}  // namespace

int64_t MonotonicNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}

CameraPump::CameraPump(Camera* camera, uint32_t width, uint32_t height,
                       std::function<void()> on_frame)
    : camera_(camera),
      on_frame_(std::move(on_frame)),
      requested_size_(PackSize(width, height)),
      width_(width),
      height_(height) {
  if (camera_->time_base() != nullptr) {
    // The base counts from when it was made; read both clocks back to back.
    const TimeValue elapsed = GetTimeBaseTime(camera_->time_base(), kNsPerSecond, nullptr);
    time_base_origin_ns_ = MonotonicNs() - elapsed;
  }
}

bool CameraPump::Start(std::string* error) {
  if (started_) return true;
  if (!camera_->Call("OrvidCaptureStateChanging", kVDCaptureStateChangingSelect, error,
                     vdFlagCaptureStarting)) {
    return false;
  }
  started_ = true;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void CameraPump::Stop() {
  if (!started_) return;
  stop_ = true;
  thread_.join();
  started_ = false;
  std::string ignored;
  camera_->Call("OrvidCaptureStateChanging", kVDCaptureStateChangingSelect, &ignored,
                vdFlagCaptureStopping);
}

void CameraPump::RequestSize(uint32_t width, uint32_t height) {
  requested_size_ = PackSize(width, height);
}

std::string CameraPump::error() const {
  std::lock_guard<std::mutex> hold(lock_);
  return error_;
}

double CameraPump::producer_rate() const {
  std::lock_guard<std::mutex> hold(lock_);
  const int count = stamp_count_ < kRateWindow ? stamp_count_ : kRateWindow;
  if (count < kMinRateFrames) return 0;
  const int64_t newest = stamps_ns_[(stamp_count_ - 1) % kRateWindow];
  const int64_t oldest = stamps_ns_[(stamp_count_ - count) % kRateWindow];
  if (newest <= oldest) return 0;
  return static_cast<double>(count - 1) * kNsPerSecond / static_cast<double>(newest - oldest);
}

void CameraPump::Fail(const std::string& error) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    error_ = error;
  }
  failed_ = true;
  on_frame_();
}

void CameraPump::NoteStamp(int64_t pts_ns) {
  std::lock_guard<std::mutex> hold(lock_);
  // A stamp that goes back (a new time base) starts the window again.
  if (stamp_count_ > 0 && pts_ns <= stamps_ns_[(stamp_count_ - 1) % kRateWindow]) {
    stamp_count_ = 0;
  }
  stamps_ns_[stamp_count_ % kRateWindow] = pts_ns;
  ++stamp_count_;
  if (stamp_count_ == 2 * kRateWindow) stamp_count_ = kRateWindow;  // keeps the index small
}

void CameraPump::Run() {
  std::string error;
  while (!stop_) {
    const uint64_t wanted = requested_size_;
    if (wanted != PackSize(width_, height_)) {
      const uint32_t width = static_cast<uint32_t>(wanted >> 32);
      const uint32_t height = static_cast<uint32_t>(wanted);
      if (!SetFrameSize(camera_, width, height, &error)) return Fail(error);
      width_ = width;
      height_ = height;
    }
    const int64_t polled = MonotonicNs();
    PolledFrame frame;
    if (!PollFrame(camera_, &frame, &error)) return Fail(error);
    if (!frame.ready) {
      if (MonotonicNs() - polled < kIdlePauseNs) {
        const struct timespec pause = {0, kIdlePauseNs};
        nanosleep(&pause, nullptr);
      }
      continue;
    }
    // The buffer holds a frame of the digitizer's size; the data size the
    // camera reports is the producer's frame, which may be another size.
    HandedFrame* slot = handover_.BeginWrite();
    const auto* bytes = reinterpret_cast<const uint8_t*>(frame.data);
    slot->bytes.assign(bytes, bytes + tessel::PlanarFrameBytes(width_, height_));
    slot->width = width_;
    slot->height = height_;
    const int64_t stamp_ns = StampNs(frame.stamp);
    const bool stamped = stamp_ns >= 0 && frame.stamp.base == camera_->time_base();
    slot->pts_ns = stamped ? time_base_origin_ns_ + stamp_ns : MonotonicNs();
    if (!ReleaseFrame(camera_, frame.data, &error)) return Fail(error);
    if (stamped) NoteStamp(slot->pts_ns);
    handover_.Publish();
    const int64_t now = MonotonicNs();
    const int64_t previous = last_frame_ns_.exchange(now);
    // A pause longer than any producer's pace is a gap, not a pace.
    if (previous != 0 && now - previous <= kLongestPaceNs) last_interval_ns_ = now - previous;
    ++frames_;
    on_frame_();
  }
}

}  // namespace lumenplug
