#include "tools/QuorvexLumenPlug/framehandover.h"

#include <utility>

namespace lumenplug {

void FrameHandover::Publish() {
  std::lock_guard<std::mutex> hold(lock_);
  slots_[write_].sequence = ++published_;
  if (fresh_) ++skipped_;
  std::swap(write_, ready_);
  fresh_ = true;
}

const HandedFrame* FrameHandover::TakeNewest() {
  std::lock_guard<std::mutex> hold(lock_);
  if (!fresh_) return nullptr;
  std::swap(read_, ready_);
  fresh_ = false;
  return &slots_[read_];
}

uint64_t FrameHandover::skipped() const {
  std::lock_guard<std::mutex> hold(lock_);
  return skipped_;
}

bool FrameHandover::Pending() const {
  std::lock_guard<std::mutex> hold(lock_);
  return fresh_;
}

}  // namespace lumenplug
