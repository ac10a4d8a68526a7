// Hands the newest frame from the thread that polls the camera to the thread
// that publishes it, without either waiting for the other's copying.
//
// Three slots: the writer fills one of its own, the reader reads one of its
// own, and the third holds the newest finished frame. Publishing a frame and
// taking one only exchange slots under a lock, so a frame is never read
// while it is written (never torn), a reader that falls behind gets the
// newest frame and skips those in between (newest wins), and each finished
// frame is taken at most once.
//
// Threading: one writer thread and one reader thread, each with its own
// calls (BeginWrite/Publish and TakeNewest); any thread may call Pending().
#ifndef TOOLS_QUORVEXLUMENPLUG_FRAMEHANDOVER_H_
#define TOOLS_QUORVEXLUMENPLUG_FRAMEHANDOVER_H_

#include <stdint.h>

#include <mutex>
#include <vector>

namespace lumenplug {

// One frame in the camera's planar 4:2:0 layout.
struct HandedFrame {
  std::vector<uint8_t> bytes;  // PlanarFrameBytes(width, height) of them
  uint32_t width = 0;
  uint32_t height = 0;
  int64_t pts_ns = 0;     // the camera's time stamp on the monotonic clock
  uint64_t sequence = 0;  // 1 for the first frame published, then counting up
};

class FrameHandover {
 public:
  // The writer's slot, to fill before Publish; its contents are whatever was
  // left in it (keep the vector's capacity, resize it).
  HandedFrame* BeginWrite() { return &slots_[write_]; }
  // Makes the slot filled since BeginWrite the newest frame, replacing one
  // that was not taken yet, and numbers it.
  void Publish();
  // The newest frame published since the last call, or null when none is
  // new. Valid until the next call of TakeNewest.
  const HandedFrame* TakeNewest();
  // Frames that a newer one replaced before the reader took them: frames
  // the reader never saw.
  uint64_t skipped() const;
  // True when a frame is waiting to be taken.
  bool Pending() const;

 private:
  HandedFrame slots_[3];
  int write_ = 0;  // the writer's own
  int read_ = 1;   // the reader's own
  mutable std::mutex lock_;
  // Guarded by lock_.
  int ready_ = 2;
  bool fresh_ = false;
  uint64_t published_ = 0;
  uint64_t skipped_ = 0;
};

}  // namespace lumenplug

#endif  // TOOLS_QUORVEXLUMENPLUG_FRAMEHANDOVER_H_
