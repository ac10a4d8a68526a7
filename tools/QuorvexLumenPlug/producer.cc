#include "tools/QuorvexLumenPlug/producer.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace lumenplug {

namespace {

// How often Lock recovers an abandoned lock before giving up: once is the
// normal case; another holder dying at once is rare; more means something
// keeps taking it.
constexpr int kMaxRecoveries = 3;

std::string WithUserId(const std::string& name) {
  return name + "_" + std::to_string(static_cast<int>(getuid()));
}

bool IsAlive(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

struct timespec DeadlineAfterMs(int ms) {
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += ms / 1000;
  deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000;
  if (deadline.tv_nsec >= 1000000000) {
    deadline.tv_nsec -= 1000000000;
    ++deadline.tv_sec;
  }
  return deadline;
}

}  // namespace

FrameProducer::FrameProducer(std::string device_name)
    : device_name_(std::move(device_name)), semaphore_name_(WithUserId(device_name_)) {}

FrameProducer::~FrameProducer() { Detach(); }

uint32_t FrameProducer::NextFrameCounter(uint32_t counter) {
  const uint32_t next = counter + 1;
  return next == 0xFFFFFFFFu ? 0 : next;
}

orvid::SharedFrameArea* FrameProducer::area() const {
  return static_cast<orvid::SharedFrameArea*>(memory_->GetAddress());
}

bool FrameProducer::Attach(std::string* error) {
  mutex_.reset(tessel::Mutex::Create(device_name_));
  if (mutex_ == nullptr) {
    *error = "cannot create or open the camera's lock, the semaphore \"" + semaphore_name_ + "\"";
    return false;
  }
  timed_sem_ = sem_open(semaphore_name_.c_str(), 0);
  if (timed_sem_ == SEM_FAILED) {
    *error = "cannot open the camera's lock, the semaphore \"" + semaphore_name_ +
             "\": " + strerror(errno);
    Detach();
    return false;
  }
  memory_.reset(tessel::SharedMemory::Create(device_name_, orvid::kSharedFrameAreaBytes));
  if (memory_ == nullptr) {
    *error = "cannot create or attach the shared frame area (key file /tmp/" + semaphore_name_ +
             "); a segment of another size or owner may be in the way (see ipcs -m)";
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
  const uint64_t bytes = orvid::PlanarFrameBytes(width, height);
  if (memory_ == nullptr || !orvid::FrameFits(static_cast<uint32_t>(bytes), width, height)) {
    *error = "a frame of " + std::to_string(width) + "x" + std::to_string(height) +
             " does not fit the shared frame area";
    return false;
  }
  if (!Lock(error)) return false;
  orvid::SharedFrameArea* shared = area();
  memcpy(shared->frameData, planar, bytes);
  shared->width = width;
  shared->height = height;
  shared->frameSize = static_cast<uint32_t>(bytes);
  shared->frameCounter = NextFrameCounter(shared->frameCounter);
  Unlock();
  return true;
}

void FrameProducer::Detach() {
  std::string ignored;
  if (memory_ != nullptr && claimed_ && Lock(&ignored)) {
    orvid::SharedFrameArea* shared = area();
    shared->frameSize = 0;
    if (shared->reserved[kProducerPidWord] == static_cast<uint32_t>(getpid())) {
      shared->reserved[kProducerMarkWord] = 0;
      shared->reserved[kProducerPidWord] = 0;
    }
    Unlock();
  }
  claimed_ = false;
  if (memory_ != nullptr) memory_->Close();
  memory_.reset();
  if (timed_sem_ != SEM_FAILED) sem_close(timed_sem_);
  timed_sem_ = SEM_FAILED;
  if (mutex_ != nullptr) mutex_->Close();
  mutex_.reset();
}

bool FrameProducer::Lock(std::string* error) {
  for (int recoveries = 0; recoveries <= kMaxRecoveries; ++recoveries) {
    const struct timespec deadline = DeadlineAfterMs(kStuckLockMs);
    int result;
    while ((result = sem_clockwait(timed_sem_, CLOCK_MONOTONIC, &deadline)) != 0 &&
           errno == EINTR) {
    }
    if (result == 0) {
      DropExtraCount();
      return true;
    }
    if (errno != ETIMEDOUT) {
      *error = "cannot take the camera's lock \"" + semaphore_name_ + "\": " + strerror(errno);
      return false;
    }
    // Nobody holds the lock this long while alive: its holder died in the
    // middle of a copy. Release it on the holder's behalf, but only while it
    // is still taken, so that the count never goes above one.
    int value = 0;
    if (sem_getvalue(timed_sem_, &value) == 0 && value == 0) {
      fprintf(stderr,
              "feed: warning: the camera's lock \"%s\" was taken for more than %d ms; its "
              "holder must have died, so feed releases it\n",
              semaphore_name_.c_str(), kStuckLockMs);
      sem_post(timed_sem_);
    }
  }
  *error = "the camera's lock \"" + semaphore_name_ + "\" stays taken even after releasing it";
  return false;
}

void FrameProducer::Unlock() { mutex_->Unlock(); }

void FrameProducer::DropExtraCount() {
  bool dropped = false;
  int value = 0;
  while (sem_getvalue(timed_sem_, &value) == 0 && value > 0 && sem_trywait(timed_sem_) == 0) {
    dropped = true;
  }
  if (dropped) {
    fprintf(stderr,
            "feed: warning: the camera's lock \"%s\" had been released twice; feed took the "
            "extra count back\n",
            semaphore_name_.c_str());
  }
}

}  // namespace lumenplug
