// The producer's side of the shared frame area: attaches to (or creates) the
// camera's segment and named mutex, exactly as the camera component does,
// and publishes frames into the area under the mutex.
//
// The mutex is a POSIX semaphore that every reader takes around its copy of
// a frame. A reader or a producer that dies while holding it would leave it
// taken for good and freeze everyone, so the producer never waits without a
// limit: when the lock stays taken far longer than any copy takes
// (kStuckLockMs), it is released once on the dead holder's behalf (never
// raising the count above one) and a warning goes to standard error.
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

  explicit FrameProducer(std::string device_name);
  // Withdraws the picture and detaches when still attached.
  ~FrameProducer();

  FrameProducer(const FrameProducer&) = delete;
  FrameProducer& operator=(const FrameProducer&) = delete;

  // Creates or opens the named mutex and the 461,056-byte segment, then
  // claims the area. False, with the reason, when either cannot be had or
  // another live producer feeds this device.
  bool Attach(std::string* error);

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
  // Takes the lock, recovering it when it stays taken beyond kStuckLockMs.
  bool Lock(std::string* error);
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
};

}  // namespace lumenplug

#endif  // TOOLS_QUORVEXLUMENPLUG_PRODUCER_H_
