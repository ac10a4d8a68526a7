#include "tools/QuorvexLumenPlug/producer.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace lumenplug {

namespace {

// How often Lock recovers an abandoned lock before giving up: once is the
// normal case; another holder dying at once is rare; more means something
// keeps taking it.
constexpr int kMaxRecoveries = 3;

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
  mutex_.reset(tessel::Mutex::Create(device_name_));
  if (mutex_ == nullptr) {
    *error = "cannot create or open the camera's lock, the semaphore \"" + semaphore_name_ + "\"";
    return false;
  }
  memory_.reset(tessel::SharedMemory::Create(device_name_, tessel::kSharedFrameAreaBytes));
  if (memory_ == nullptr) {
    *error = "cannot create or attach the shared frame area (key file " +
             tessel::KeyFilePath(device_name_) + "); a segment of another size or owner may be in the way (see ipcs -m)";
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
  claimed_ = false;
  if (memory_ != nullptr) memory_->Close();
  memory_.reset();
  if (mutex_ != nullptr) mutex_->Close();
  mutex_.reset();
}

bool FrameProducer::Lock(std::string* error) {
  for (int recoveries = 0; recoveries <= kMaxRecoveries; ++recoveries) {
    int failure = 0;
    const tessel::Mutex::TakeResult result = mutex_->TakeWithin(kStuckLockMs, &failure);
    if (result == tessel::Mutex::kTaken) {
      DropExtraCounts();
      return true;
    }
    if (result == tessel::Mutex::kFailed) {
      *error = "cannot take the camera's lock \"" + semaphore_name_ + "\": " + strerror(failure);
      return false;
    }
    // Nobody holds the lock this long while alive: its holder died in the
    // middle of a copy. Release it on the holder's behalf; the Mutex does so
    // only while it is still taken, so that the count never goes above one.
    if (mutex_->ReleaseAbandoned()) {
      fprintf(stderr,
              "feed: warning: the camera's lock \"%s\" was taken for more than %d ms; its "
              "holder must have died, so feed releases it\n",
              semaphore_name_.c_str(), kStuckLockMs);
    }
  }
  *error = "the camera's lock \"" + semaphore_name_ + "\" stays taken even after releasing it";
  return false;
}

void FrameProducer::Unlock() { mutex_->Unlock(); }

void FrameProducer::DropExtraCounts() {
  if (mutex_->DropExtraCounts() > 0) {
    fprintf(stderr,
            "feed: warning: the camera's lock \"%s\" had been released twice; feed took the "
            "extra count back\n",
            semaphore_name_.c_str());
  }
}

}  // namespace lumenplug
