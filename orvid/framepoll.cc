#include "orvid/framepoll.h"

#include <string.h>

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

PollOutcome CopyNewFrame(const tessel::SharedFrameArea& area, const PollTarget& target,
                         PollState* state, FrameHeader* header) {
  const uint32_t counter = area.frameCounter;
  const uint32_t size = area.frameSize;
  if (counter == state->last_counter || size == 0) return PollOutcome::kNothingNew;
  const uint32_t sw = area.width;
  const uint32_t sh = area.height;
  if (header != nullptr) *header = FrameHeader{size, sw, sh};
  state->last_counter = counter;
  if (!IsWellFormedFrame(size, sw, sh)) return PollOutcome::kMalformed;

  const uint32_t dw = target.width;
  const uint32_t dh = target.height;
  if (sw == dw && sh == dh) {
    memcpy(target.buffer, area.frameData, size);
  } else {
    const long offset = LetterboxOffset(sw, sh, dw, dh);
    // The bands keep what the buffer held. Before the first frame of this
    // size that is no picture at all (uninitialised memory, or a frame of
    // another size laid out differently), so they start out black.
    if (offset > 0 && state->buffer_stale) PaintBlack(target.buffer, dw, dh);
    YuvScaler::Scale(area.frameData, sw, sh, target.buffer, dw, dh, offset, true);
  }
  state->buffer_stale = false;
  return PollOutcome::kTaken;
}

PollOutcome TakeNewFrame(tessel::Mutex* mutex, const tessel::SharedFrameArea& area,
                         const PollTarget& target, PollState* state, FrameHeader* header,
                         int lock_timeout_ms) {
  // The lock's own warning says how long it waited and for which semaphore.
  if (!mutex->LockWithTimeout(lock_timeout_ms)) return PollOutcome::kLockBusy;
  const PollOutcome outcome = CopyNewFrame(area, target, state, header);
  mutex->Unlock();
  return outcome;
}

}  // namespace orvid
