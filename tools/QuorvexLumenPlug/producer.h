// The producer's side of the shared frame area: attaches to (or creates) the
// camera's segment and named mutex, exactly as the camera component does,
// and publishes frames into the area under the mutex.
//
// The mutex is a POSIX semaphore that every reader takes around its copy of
// a frame. A reader or a producer that dies while holding it would leave it
// taken for good and freeze everyone. A reader marks the lock while it
// holds it (Mutex::MarkHeld), and the system drops the mark when the reader
// dies. So the producer waits for a marked holder for as long as it takes
// (a reader stopped in a debugger is alive), and releases a lock that stays
// taken without a mark far longer than any copy takes (kStuckLockMs) on the
// dead holder's behalf, never raising the count above one, with a warning on
// standard error. While someone keeps taking the lock without a mark (not a
// camera), each later release comes after kAbusedLockMs, so frames still
// flow, slowly, and the warning is not repeated. Counts someone posted on
// top of ours are taken back before each frame is written.
//
// Every wait watches the stop descriptor (set_stop_fd), so a stop request
// ends a wait for the lock at once.
//
// Removal. Someone may remove the segment (ipcrm) or the semaphore's or key
// file's name while the producer runs; new readers would then meet other
// objects. KeepShared notices and makes them again.
//
// The producer keeps its own bookkeeping in the area's reserved words, which
// the component ignores: a mark and its process id, so that a second
// producer for the same device is refused while the first one lives.
//
// Threading: one thread uses a producer. Between processes, the named mutex
// guards the area.
#ifndef TOOLS_QUORVEXLUMENPLUG_PRODUCER_H_
#define TOOLS_QUORVEXLUMENPLUG_PRODUCER_H_

#include <stdint.h>

#include <memory>
#include <string>

#include "sharedmem/sharedframearea.h"
#include "sharedmem/sharedmem.h"

namespace lumenplug {

// Reserved words of the area that a producer uses (indexes into
// SharedFrameArea::reserved).
enum ProducerWord {
  kProducerMarkWord = 0,  // kProducerMark while a producer feeds, else 0
  kProducerPidWord = 1,   // that producer's process id
};
inline constexpr uint32_t kProducerMark = 0x4C756D50;  // 'LumP'

class FrameProducer {
 public:
  // How long the lock may stay taken before it counts as abandoned. A
  // reader holds it for one copy or scaling of at most 460,800 bytes.
  static constexpr int kStuckLockMs = 2000;
  // Once a lock was released on someone's behalf, how long it may stay
  // taken without a mark before it is released again.
  static constexpr int kAbusedLockMs = 250;

  explicit FrameProducer(std::string device_name);
  // Withdraws the picture and detaches when still attached.
  ~FrameProducer();

  FrameProducer(const FrameProducer&) = delete;
  FrameProducer& operator=(const FrameProducer&) = delete;

  // A descriptor that becomes readable when the producer is to stop (the
  // signal descriptor); -1 (the default) for none.
  void set_stop_fd(int fd) { stop_fd_ = fd; }
  // True when the last Attach or Publish failed because of a stop request
  // (*error is then empty).
  bool stopped() const { return stopped_; }

  // Creates or opens the named mutex and the 461,056-byte segment, then
  // claims the area. False, with the reason, when either cannot be had or
  // another live producer feeds this device.
  bool Attach(std::string* error);

  // Checks that the semaphore and the segment are still the ones their
  // names lead to; when not, says so on standard error and attaches anew.
  // *renewed tells whether it did (the area then shows no picture until
  // the next Publish). False, with the reason, when attaching anew fails.
  bool KeepShared(bool* renewed, std::string* error);

  // Publishes one frame of `width` x `height` in the area's planar layout
  // (PlanarFrameBytes bytes, which must fit the data area): planes, size,
  // and a new frame counter. False, with the reason, when the lock cannot
  // be taken even after recovering it.
  bool Publish(const uint8_t* planar, uint32_t width, uint32_t height, std::string* error);

  // Withdraws the picture (frame size 0) and gives up the claim, then
  // detaches: the last user of the segment removes it and its key file. The
  // named semaphore stays, as the component expects. Safe to call twice.
  void Detach();

  // The value after `counter` that readers take as new: counter + 1,
  // skipping 0xFFFFFFFF, which a freshly opened camera treats as "already
  // seen" and would drop.
  static uint32_t NextFrameCounter(uint32_t counter);

  // The system-wide semaphore name ("<device>_<uid>").
  const std::string& semaphore_name() const { return semaphore_name_; }

 private:
  // Takes the lock, recovering it when it stays taken without a mark beyond
  // kStuckLockMs (kAbusedLockMs after an earlier recovery).
  bool Lock(std::string* error);
  // True when a stop request is waiting on the stop descriptor.
  bool StopRequested() const;
  // Drops the objects without touching the area (they may be gone).
  void Drop();
  void Unlock();
  // Restores the count to zero when someone raised it above one while we
  // waited: with the lock held, nobody else may be able to take it.
  void DropExtraCounts();
  tessel::SharedFrameArea* area() const;

  std::string device_name_;
  std::string semaphore_name_;
  std::unique_ptr<tessel::Mutex> mutex_;
  std::unique_ptr<tessel::SharedMemory> memory_;
  bool claimed_ = false;  // the area carries our mark
  int stop_fd_ = -1;
  bool stopped_ = false;
  // When the lock was last taken over (monotonic ns; 0: never). Someone
  // who keeps taking it without a mark is met with kAbusedLockMs, and the
  // warning is not repeated, until a while passes without a take-over.
  int64_t taken_over_ns_ = 0;
  bool warned_live_holder_ = false;
  bool warned_extra_counts_ = false;
};

}  // namespace lumenplug

#endif  // TOOLS_QUORVEXLUMENPLUG_PRODUCER_H_
