#include "tools/QuorvexLumenPlug/producer.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace lumenplug {

namespace {

// Lock waits in slices this long, so that a stop request or a change of
// holder is seen soon.
constexpr int kLockSliceMs = 100;
// A holder that is alive may keep the lock as long as it likes; after this
// long feed says that it is waiting for it.
constexpr int kLiveHolderNoticeMs = 2000;
// After a take-over, someone counts as still abusing the lock until this
// long has passed without another.
constexpr int64_t kAbuseEpisodeNs = 10 * 1000000000LL;

int64_t MonotonicNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool IsAlive(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

}  // namespace

FrameProducer::FrameProducer(std::string device_name)
    : device_name_(std::move(device_name)), semaphore_name_(tessel::SemaphoreName(device_name_)) {}

FrameProducer::~FrameProducer() { Detach(); }

uint32_t FrameProducer::NextFrameCounter(uint32_t counter) {
  const uint32_t next = counter + 1;
  return next == 0xFFFFFFFFu ? 0 : next;
}

tessel::SharedFrameArea* FrameProducer::area() const {
  return static_cast<tessel::SharedFrameArea*>(memory_->GetAddress());
}

bool FrameProducer::Attach(std::string* error) {
  stopped_ = false;
  std::string why;
  mutex_.reset(tessel::Mutex::Create(device_name_, nullptr, &why));
  if (mutex_ == nullptr) {
    *error = "cannot create or open the camera's lock, the semaphore \"" + semaphore_name_ +
             "\": " + why;
    return false;
  }
  memory_.reset(
      tessel::SharedMemory::Create(device_name_, tessel::kSharedFrameAreaBytes, nullptr, &why));
  if (memory_ == nullptr) {
    *error = "cannot create or attach the shared frame area (key file " +
             tessel::KeyFilePath(device_name_) + "): " + why;
    Detach();
    return false;
  }
  if (!Lock(error)) {
    Detach();
    return false;
  }
  uint32_t* words = area()->reserved;
  const pid_t other = static_cast<pid_t>(words[kProducerPidWord]);
  if (words[kProducerMarkWord] == kProducerMark && other != getpid() && IsAlive(other)) {
    Unlock();
    *error = "another producer (process " + std::to_string(other) + ") is feeding \"" +
             device_name_ + "\" already";
    Detach();
    return false;
  }
  words[kProducerMarkWord] = kProducerMark;
  words[kProducerPidWord] = static_cast<uint32_t>(getpid());
  claimed_ = true;
  Unlock();
  return true;
}

bool FrameProducer::Publish(const uint8_t* planar, uint32_t width, uint32_t height,
                            std::string* error) {
  const uint64_t bytes = tessel::PlanarFrameBytes(width, height);
  if (memory_ == nullptr || !tessel::FrameFits(static_cast<uint32_t>(bytes), width, height)) {
    *error = "a frame of " + std::to_string(width) + "x" + std::to_string(height) +
             " does not fit the shared frame area";
    return false;
  }
  if (!Lock(error)) return false;
  tessel::SharedFrameArea* shared = area();
  memcpy(shared->frameData, planar, bytes);
  shared->width = width;
  shared->height = height;
  shared->frameSize = static_cast<uint32_t>(bytes);
  shared->frameCounter = NextFrameCounter(shared->frameCounter);
  Unlock();
  return true;
}

bool FrameProducer::KeepShared(bool* renewed, std::string* error) {
  *renewed = false;
  if (memory_ == nullptr || mutex_ == nullptr) return true;
  std::string why;
  if (mutex_->StillShared(&why) && memory_->StillShared(&why)) return true;
  fprintf(stderr, "feed: warning: %s; feed makes the camera's frame transport again\n",
          why.c_str());
  Drop();
  if (!Attach(error)) return false;
  *renewed = true;
  return true;
}

void FrameProducer::Drop() {
  claimed_ = false;
  if (memory_ != nullptr) memory_->Close();
  memory_.reset();
  if (mutex_ != nullptr) mutex_->Close();
  mutex_.reset();
}

void FrameProducer::Detach() {
  std::string ignored;
  if (memory_ != nullptr && claimed_ && Lock(&ignored)) {
    tessel::SharedFrameArea* shared = area();
    shared->frameSize = 0;
    if (shared->reserved[kProducerPidWord] == static_cast<uint32_t>(getpid())) {
      shared->reserved[kProducerMarkWord] = 0;
      shared->reserved[kProducerPidWord] = 0;
    }
    Unlock();
  }
  Drop();
}

bool FrameProducer::StopRequested() const {
  if (stop_fd_ < 0) return false;
  struct pollfd watch = {stop_fd_, POLLIN, 0};
  return poll(&watch, 1, 0) > 0;
}

bool FrameProducer::Lock(std::string* error) {
  stopped_ = false;
  int unmarked_ms = 0;  // how long it has been taken without a mark, lately
  int waited_ms = 0;
  for (;;) {
    int failure = 0;
    const tessel::Mutex::TakeResult result = mutex_->TakeWithin(kLockSliceMs, &failure);
    if (result == tessel::Mutex::kTaken) {
      DropExtraCounts();
      return true;
    }
    if (result == tessel::Mutex::kFailed) {
      *error = "cannot take the camera's lock \"" + semaphore_name_ + "\": " + strerror(failure);
      return false;
    }
    if (StopRequested()) {
      stopped_ = true;
      error->clear();
      return false;
    }
    waited_ms += kLockSliceMs;
    if (mutex_->HeldByLiveReader()) {
      // A camera holds it and is alive, perhaps stopped in a debugger:
      // taking the lock from it would let it read a frame being written.
      unmarked_ms = 0;
      if (waited_ms >= kLiveHolderNoticeMs && !warned_live_holder_) {
        warned_live_holder_ = true;
        fprintf(stderr,
                "feed: warning: a camera that is alive has held the lock \"%s\" for more than "
                "%d ms (is it stopped?); feed waits for it\n",
                semaphore_name_.c_str(), kLiveHolderNoticeMs);
      }
      continue;
    }
    unmarked_ms += kLockSliceMs;
    const int64_t now_ns = MonotonicNs();
    const bool abused = taken_over_ns_ != 0 && now_ns - taken_over_ns_ < kAbuseEpisodeNs;
    if (unmarked_ms < (abused ? kAbusedLockMs : kStuckLockMs) || !mutex_->IsTaken()) continue;
    // Nobody who marks it holds the lock, and no copy takes this long: its
    // holder died in the middle of one, or is no camera. The lock passes to
    // us as it is, still taken, so that nobody can slip in between a
    // release and our take; our Unlock frees it.
    if (!abused) {
      fprintf(stderr,
              "feed: warning: the camera's lock \"%s\" was taken for more than %d ms; its "
              "holder must have died, so feed takes it over (if something keeps taking it, "
              "feed takes it over after %d ms from now on)\n",
              semaphore_name_.c_str(), kStuckLockMs, kAbusedLockMs);
    }
    taken_over_ns_ = now_ns;
    DropExtraCounts();
    return true;
  }
}

void FrameProducer::Unlock() { mutex_->Unlock(); }

void FrameProducer::DropExtraCounts() {
  if (mutex_->DropExtraCounts() > 0 && !warned_extra_counts_) {
    // Once: a process that posts in a loop would fill the terminal.
    warned_extra_counts_ = true;
    fprintf(stderr,
            "feed: warning: the camera's lock \"%s\" had been released twice; feed took the "
            "extra count back (this warning is not repeated)\n",
            semaphore_name_.c_str());
  }
}

}  // namespace lumenplug
