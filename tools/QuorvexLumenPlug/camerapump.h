// The thread that polls the camera for publish. It owns every call to the
// camera from capture start to capture stop, so that the thread which
// serves PipeWire never waits on the camera: it copies each frame the camera
// delivers into a FrameHandover and tells the other thread through a
// callback. The size of the frames can be changed while it runs; the camera
// makes frames of the new size from the next poll on.
//
// Threading: Start, Stop and the constructor on the thread that owns the
// Camera; RequestSize, the handover's reader side and the status accessors
// from any one other thread.
#ifndef TOOLS_QUORVEXLUMENPLUG_CAMERAPUMP_H_
#define TOOLS_QUORVEXLUMENPLUG_CAMERAPUMP_H_

#include <stdint.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "tools/QuorvexLumenPlug/camera.h"
#include "tools/QuorvexLumenPlug/framehandover.h"

namespace lumenplug {

// The monotonic clock in nanoseconds, the time line of the pump's stamps.
int64_t MonotonicNs();

class CameraPump {
 public:
  // `camera` has been prepared (PrepareCamera) for width x height frames
  // and outlives the pump. `on_frame` runs on the pump's thread after every
  // frame handed over, and once more when the pump stops on a failure.
  CameraPump(Camera* camera, uint32_t width, uint32_t height, std::function<void()> on_frame);
  ~CameraPump() { Stop(); }
  CameraPump(const CameraPump&) = delete;
  CameraPump& operator=(const CameraPump&) = delete;

  // Tells the camera that capture starts and starts polling. False, with
  // the reason, when the camera refuses.
  bool Start(std::string* error);
  // Ends the polling and tells the camera that capture stops. Safe to call
  // twice.
  void Stop();

  // Frames of width x height (a deliverable size) from the next poll on.
  void RequestSize(uint32_t width, uint32_t height);

  FrameHandover* handover() { return &handover_; }

  // True once the camera failed a call; the thread has ended and error()
  // says what failed.
  bool failed() const { return failed_.load(); }
  std::string error() const;
  // Monotonic time in nanoseconds of the last frame the camera delivered;
  // 0 before the first.
  int64_t last_frame_ns() const { return last_frame_ns_.load(); }
  // Nanoseconds between the last two frames the camera delivered that came
  // at most ten seconds apart: the producer's pace; 0 before it is known.
  int64_t last_interval_ns() const { return last_interval_ns_.load(); }
  // The producer's frame rate as the camera's time stamps tell it over the
  // last frames; 0 until enough frames came to tell (the stamps are taken
  // when the camera is polled, so a single interval says little).
  double producer_rate() const;
  uint64_t frames() const { return frames_.load(); }

 private:
  void Run();
  void Fail(const std::string& error);
  void NoteStamp(int64_t pts_ns);

  Camera* camera_;
  std::function<void()> on_frame_;
  // Monotonic nanoseconds at which the camera's time base read 0.
  int64_t time_base_origin_ns_ = 0;
  FrameHandover handover_;
  std::thread thread_;
  bool started_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<bool> failed_{false};
  std::atomic<int64_t> last_frame_ns_{0};
  std::atomic<int64_t> last_interval_ns_{0};
  std::atomic<uint64_t> frames_{0};
  // The size asked for, and the one the camera delivers (pump's thread).
  std::atomic<uint64_t> requested_size_;
  uint32_t width_;
  uint32_t height_;

  mutable std::mutex lock_;
  // Guarded by lock_.
  std::string error_;
  static constexpr int kRateWindow = 16;
  static constexpr int kMinRateFrames = 8;
  int64_t stamps_ns_[kRateWindow] = {};
  int stamp_count_ = 0;
};

}  // namespace lumenplug

#endif  // TOOLS_QUORVEXLUMENPLUG_CAMERAPUMP_H_
