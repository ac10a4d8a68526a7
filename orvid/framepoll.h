// The camera's rules for taking frames out of the shared frame area, apart
// from the component's handlers so that they can be tested and timed in
// process: which headers are accepted, when a frame counts as new, how a
// frame of another size is scaled or letterboxed into the digitizer's size,
// and how long a poll waits for the producer's lock.
//
// Nothing here logs but the lock's own warning when a poll gives up on it;
// the caller reports the rest in the component's words.
//
// Threading: plain functions. The area's bytes are read only while the
// named mutex is held (TakeNewFrame takes it); one PollState belongs to one
// camera instance and is used one poll at a time.
#ifndef ORVID_FRAMEPOLL_H_
#define ORVID_FRAMEPOLL_H_

#include <stdint.h>

#include "sharedmem/sharedframearea.h"
#include "sharedmem/sharedmem.h"

namespace orvid {

// How long a poll waits for the named mutex. The producer holds it only to
// write one frame (well under a millisecond); a holder that keeps it longer
// than this has most likely died with it, and waiting without a limit would
// freeze every capturing host for good. A poll that times out answers "no
// frame", as when nothing is new, and the next poll tries again.
inline constexpr int kPollLockTimeoutMs = 100;

// The counter a freshly opened camera starts from. The producer never
// publishes it (it skips it), so every real frame counts as new at first.
inline constexpr uint32_t kNoFrameTaken = 0xFFFFFFFFu;

// What polls carry from one to the next. Trivial, so that it can live in
// the component's zero-filled instance record.
struct PollState {
  // The counter of the last frame looked at, taken or refused.
  uint32_t last_counter;
  // The destination holds no frame of the current size (after Open, and
  // after a change of size): letterbox bands must be painted first.
  bool buffer_stale;
};

// The state of a camera that has just opened.
PollState FreshPollState();

// True when a header describes a frame that can be handed out as it is: it
// fits the data area (so nothing past the segment is read) and its size is
// exactly the planar size of its width and height. A smaller size would hand
// out stale bytes of an earlier frame as part of this one, a larger one
// would announce more data than the frame has.
bool IsWellFormedFrame(uint32_t frame_size, uint32_t width, uint32_t height);

// Rows left untouched above and below the scaled image. A source of the
// destination's width but fewer rows is centred without scaling; one of
// exactly a half or a quarter of the width is enlarged by the whole factor
// and centred; every other source is stretched over the whole destination.
// Integer divisions round down. Needs sw and sh above 0.
long LetterboxOffset(uint32_t sw, uint32_t sh, uint32_t dw, uint32_t dh);

// Black in the 4:2:0 layout of a dw x dh frame: luma 16, chroma 128.
void PaintBlack(uint8_t* buffer, uint32_t dw, uint32_t dh);

// The most work a frame may ask of the scaler: max(sw, dw) x max(sh, dh)
// luma samples visited, four 640x480 frames' worth. The area averaging
// touches every source sample once for every destination sample whose
// footprint holds it, so a frame much taller than wide scaled to a wide
// destination (1 x 460800 to 640 x 480, say) costs a third of a second per
// frame where every ordinary size costs well under a millisecond. Every
// frame of the same aspect as the destination, up to four times more
// elongated, is within the bound; frames beyond it are refused.
inline constexpr uint64_t kMaxScalingWork = 4ull * 640 * 480;

// True when scaling a sw x sh frame to dw x dh stays within kMaxScalingWork.
bool ScalingWorkFits(uint32_t sw, uint32_t sh, uint32_t dw, uint32_t dh);

// Where a poll puts the frame: `buffer` holds PlanarFrameBytes(width,
// height) bytes of the digitizer's size. `staging` (kFrameDataBytes, the
// caller's) is where TakeNewFrame copies a frame of another size under the
// lock, to scale it after releasing the lock.
struct PollTarget {
  uint8_t* buffer;
  uint32_t width;
  uint32_t height;
  uint8_t* staging;
};

// What one poll found.
enum class PollOutcome {
  kTaken,      // a new frame is in the buffer
  kNothingNew, // the same counter as last time, or no picture
  kMalformed,  // a new counter with a header that is not well formed; remembered
  kTooCostly,  // a new, well-formed frame beyond kMaxScalingWork; remembered
  kLockBusy,   // the mutex could not be had in time; nothing was read
};

// The header of the frame a poll looked at (for the caller's report).
struct FrameHeader {
  uint32_t frame_size;
  uint32_t width;
  uint32_t height;
};

// With the mutex held: takes the frame in `area` when it is new and well
// formed, copying it (same size) or scaling it (YuvScaler, letterboxed by
// LetterboxOffset) into `target`. A withdrawn picture (size 0) is not
// remembered, so the same counter with a picture is taken later; a
// malformed one is, so that one bad header is reported once. `header`
// (when given) receives what the area said whenever a new counter was seen.
PollOutcome CopyNewFrame(const tessel::SharedFrameArea& area, const PollTarget& target,
                         PollState* state, FrameHeader* header = nullptr);

// CopyNewFrame under `mutex`, waited for at most `lock_timeout_ms`
// (kLockBusy after that; the mutex logs its time-out warning). The lock is
// held, and marked as held (Mutex::MarkHeld), for the header checks and one
// copy of at most kFrameDataBytes: straight into the buffer for a frame of
// the digitizer's size, else into the staging buffer, which is scaled into
// the buffer after the lock is released.
PollOutcome TakeNewFrame(tessel::Mutex* mutex, const tessel::SharedFrameArea& area,
                         const PollTarget& target, PollState* state,
                         FrameHeader* header = nullptr,
                         int lock_timeout_ms = kPollLockTimeoutMs);

}  // namespace orvid

#endif  // ORVID_FRAMEPOLL_H_
