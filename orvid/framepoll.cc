#include "orvid/framepoll.h"

#include <string.h>

#include <algorithm>

#include "scaler/yuvscaler.h"

namespace orvid {

PollState FreshPollState() { return PollState{kNoFrameTaken, true}; }

bool IsWellFormedFrame(uint32_t frame_size, uint32_t width, uint32_t height) {
  return tessel::FrameFits(frame_size, width, height) &&
         frame_size == tessel::PlanarFrameBytes(width, height);
}

long LetterboxOffset(uint32_t sw, uint32_t sh, uint32_t dw, uint32_t dh) {
  const bool centred =
      (sw == dw && sh < dh) || (sw == dw / 2 && sh <= dh / 2) || (sw == dw / 4 && sh <= dh / 4);
  if (!centred) return 0;
  // Below 16 pixels of width dw / sw can exceed the factor the rule names
  // (3 / (3 / 2) is 3), making the enlarged image taller than the
  // destination: it then fills the destination, without bands.
  const uint64_t image_rows = static_cast<uint64_t>(dw / sw) * sh;
  if (image_rows >= dh) return 0;
  return static_cast<long>((dh - image_rows) / 2);
}

void PaintBlack(uint8_t* buffer, uint32_t dw, uint32_t dh) {
  const size_t luma = static_cast<size_t>(dw) * dh;
  memset(buffer, 16, luma);
  memset(buffer + luma, 128, 2 * static_cast<size_t>(dw / 2) * (dh / 2));
}

bool ScalingWorkFits(uint32_t sw, uint32_t sh, uint32_t dw, uint32_t dh) {
  return static_cast<uint64_t>(std::max(sw, dw)) * std::max(sh, dh) <= kMaxScalingWork;
}

namespace {

// The checks of a poll, on the header only: the outcome, and on kTaken the
// frame's header in *frame. Updates the state's counter as the rules say.
PollOutcome AcceptHeader(const tessel::SharedFrameArea& area, const PollTarget& target,
                         PollState* state, FrameHeader* frame) {
  const uint32_t counter = area.frameCounter;
  const uint32_t size = area.frameSize;
  if (counter == state->last_counter || size == 0) return PollOutcome::kNothingNew;
  *frame = FrameHeader{size, area.width, area.height};
  state->last_counter = counter;
  if (!IsWellFormedFrame(size, frame->width, frame->height)) return PollOutcome::kMalformed;
  if (!ScalingWorkFits(frame->width, frame->height, target.width, target.height)) {
    return PollOutcome::kTooCostly;
  }
  return PollOutcome::kTaken;
}

bool SameSize(const FrameHeader& frame, const PollTarget& target) {
  return frame.width == target.width && frame.height == target.height;
}

// Scales an accepted frame of another size into the target.
void ScaleInto(const uint8_t* planes, const FrameHeader& frame, const PollTarget& target,
               PollState* state) {
  const uint32_t dw = target.width;
  const uint32_t dh = target.height;
  const long offset = LetterboxOffset(frame.width, frame.height, dw, dh);
  // The bands keep what the buffer held. Before the first frame of this
  // size that is no picture at all (uninitialised memory, or a frame of
  // another size laid out differently), so they start out black.
  if (offset > 0 && state->buffer_stale) PaintBlack(target.buffer, dw, dh);
  YuvScaler::Scale(planes, frame.width, frame.height, target.buffer, dw, dh, offset, true);
}

}  // namespace

PollOutcome CopyNewFrame(const tessel::SharedFrameArea& area, const PollTarget& target,
                         PollState* state, FrameHeader* header) {
  FrameHeader frame = {};
  const PollOutcome outcome = AcceptHeader(area, target, state, &frame);
  if (outcome == PollOutcome::kNothingNew) return outcome;
  if (header != nullptr) *header = frame;
  if (outcome != PollOutcome::kTaken) return outcome;
  if (SameSize(frame, target)) {
    memcpy(target.buffer, area.frameData, frame.frame_size);
  } else {
    ScaleInto(area.frameData, frame, target, state);
  }
  state->buffer_stale = false;
  return PollOutcome::kTaken;
}

PollOutcome TakeNewFrame(tessel::Mutex* mutex, const tessel::SharedFrameArea& area,
                         const PollTarget& target, PollState* state, FrameHeader* header,
                         int lock_timeout_ms) {
  // The lock's own warning says how long it waited and for which semaphore.
  if (!mutex->LockWithTimeout(lock_timeout_ms)) return PollOutcome::kLockBusy;
  mutex->MarkHeld();
  FrameHeader frame = {};
  const PollOutcome outcome = AcceptHeader(area, target, state, &frame);
  const bool same_size = SameSize(frame, target);
  if (outcome == PollOutcome::kTaken) {
    // The one copy made under the lock; the producer waits for nothing else.
    memcpy(same_size ? target.buffer : target.staging, area.frameData, frame.frame_size);
  }
  mutex->ClearHeld();
  mutex->Unlock();
  if (outcome != PollOutcome::kNothingNew && header != nullptr) *header = frame;
  if (outcome != PollOutcome::kTaken) return outcome;
  if (!same_size) ScaleInto(target.staging, frame, target, state);
  state->buffer_stale = false;
  return PollOutcome::kTaken;
}

}  // namespace orvid
