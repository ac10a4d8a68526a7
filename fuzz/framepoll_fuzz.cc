// Fuzz target for the camera's side of the shared frame area: a header as
// any producer (or an attacker sharing the area) may write it, then a poll
// into a digitizer of any size the camera accepts. The input gives the
// header, the digitizer's size and the bytes the frame data repeats.
// Checked besides memory safety (the buffers are exactly as large as the
// camera's, so AddressSanitizer sees any byte past them):
//   - the outcome follows the rules: a frame is taken only when its header
//     is well formed and its scaling work within the bound, a malformed or
//     too costly one is remembered, the same counter is never new;
//   - a taken frame is byte for byte what the plain references of the
//     scaler give, letterbox bands included (up to a size where the
//     references stay quick).
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "fuzz/fuzzcheck.h"
#include "orvid/framepoll.h"
#include "sharedmem/sharedframearea.h"
#include "tests/support/scaler_reference.h"

namespace {

using scaler_reference::Plane;

// References beyond this much work per frame would slow the campaign more
// than they teach: the scaler's own tests cover the large sizes.
constexpr uint64_t kMaxReferenceWork = 64 * 1024;

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint32_t Next32() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = value << 8 | NextByte();
    return value;
  }
  uint16_t Next16() { return static_cast<uint16_t>(NextByte() << 8 | NextByte()); }
  uint8_t NextByte() { return at_ < size_ ? data_[at_++] : 0; }
  const uint8_t* rest() const { return data_ + at_; }
  size_t rest_size() const { return size_ - at_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// What the digitizer's buffer holds before a poll.
constexpr uint8_t kPoison = 0x5A;

const uint8_t* PoisonBlock() {
  static const uint8_t* block = [] {
    auto* bytes = new uint8_t[tessel::kFrameDataBytes];
    memset(bytes, kPoison, tessel::kFrameDataBytes);
    return bytes;
  }();
  return block;
}

// The digitizer's buffer: the last `bytes` of one block as large as the
// camera's, so that a byte written past it leaves the block (which
// AddressSanitizer reports) without a large allocation for every input.
uint8_t* DigitizerBuffer(size_t bytes) {
  static uint8_t* block = new uint8_t[tessel::kFrameDataBytes];
  return block + tessel::kFrameDataBytes - bytes;
}

tessel::SharedFrameArea& Area() {
  static tessel::SharedFrameArea* area = new tessel::SharedFrameArea();
  return *area;
}

// A size from two 16-bit numbers, folded so that most inputs land on sizes
// a header or a digitizer could have: small, 1-pixel lines, or any.
uint32_t FoldSize(uint16_t raw, uint8_t how) {
  switch (how % 4) {
    case 0:
      return 1 + raw % 64;
    case 1:
      return 1 + raw % 700;
    case 2:
      return raw % 3;  // 0, 1 and 2 are where sizes go wrong
    default:
      return raw;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input(data, size);
  const uint8_t shape = input.NextByte();
  const uint32_t raw_frame_size = input.Next32();
  const uint32_t width = FoldSize(input.Next16(), shape);
  const uint32_t height = FoldSize(input.Next16(), shape >> 2);
  uint32_t dw = FoldSize(input.Next16(), shape >> 4);
  uint32_t dh = FoldSize(input.Next16(), shape >> 6);
  const uint32_t counter = input.Next32();
  // Mostly the exact size of the shape, so that the scaling is reached.
  const uint32_t frame_size = (raw_frame_size & 3) != 0
                                  ? static_cast<uint32_t>(std::min<uint64_t>(
                                        tessel::PlanarFrameBytes(width, height), 0xFFFFFFFFu))
                                  : raw_frame_size;
  // The camera accepts only digitizer rectangles whose frame fits its buffer.
  if (dw == 0 || dh == 0 || tessel::PlanarFrameBytes(dw, dh) > tessel::kFrameDataBytes) {
    dw = 1 + dw % 640;
    dh = 1 + dh % 480;
  }

  tessel::SharedFrameArea& area = Area();
  area.frameSize = frame_size;
  area.width = width;
  area.height = height;
  area.frameCounter = counter;
  const size_t fill = std::min<size_t>(frame_size, tessel::kFrameDataBytes);
  if (input.rest_size() == 0) {
    memset(area.frameData, 0x80, fill);
  } else {
    // The rest of the input, repeated: each copy doubles what is there.
    size_t done = std::min(input.rest_size(), fill);
    memcpy(area.frameData, input.rest(), done);
    while (done < fill) {
      const size_t n = std::min(done, fill - done);
      memcpy(area.frameData + done, area.frameData, n);
      done += n;
    }
  }

  const size_t buffer_bytes = tessel::PlanarFrameBytes(dw, dh);
  uint8_t* const buffer = DigitizerBuffer(buffer_bytes);
  memset(buffer, kPoison, buffer_bytes);
  const orvid::PollTarget target = {buffer, dw, dh, nullptr};
  orvid::PollState state = orvid::FreshPollState();
  if (shape & 1) state.buffer_stale = false;  // a buffer that already holds a frame
  const orvid::PollState before = state;
  orvid::FrameHeader header = {};
  const orvid::PollOutcome outcome = orvid::CopyNewFrame(area, target, &state, &header);

  const bool is_new = counter != before.last_counter && frame_size != 0;
  const bool well_formed = orvid::IsWellFormedFrame(frame_size, width, height);
  const bool fits = well_formed && orvid::ScalingWorkFits(width, height, dw, dh);
  if (!is_new) {
    FUZZ_CHECK(outcome == orvid::PollOutcome::kNothingNew, "CopyNewFrame");
    FUZZ_CHECK(state.last_counter == before.last_counter, "CopyNewFrame");
    return 0;
  }
  FUZZ_CHECK(state.last_counter == counter, "CopyNewFrame");
  FUZZ_CHECK(header.frame_size == frame_size && header.width == width && header.height == height,
             "CopyNewFrame");
  if (!well_formed) {
    FUZZ_CHECK(outcome == orvid::PollOutcome::kMalformed, "CopyNewFrame");
  } else if (!fits) {
    FUZZ_CHECK(outcome == orvid::PollOutcome::kTooCostly, "CopyNewFrame");
  } else {
    FUZZ_CHECK(outcome == orvid::PollOutcome::kTaken, "CopyNewFrame");
    FUZZ_CHECK(!state.buffer_stale, "CopyNewFrame");
  }
  // Whatever was found, the same counter again is nothing new.
  FUZZ_CHECK(orvid::CopyNewFrame(area, target, &state) == orvid::PollOutcome::kNothingNew,
             "CopyNewFrame again");
  if (outcome != orvid::PollOutcome::kTaken) {
    FUZZ_CHECK(memcmp(buffer, PoisonBlock(), buffer_bytes) == 0, "untouched buffer");
    return 0;
  }

  if (static_cast<uint64_t>(std::max(width, dw)) * std::max(height, dh) > kMaxReferenceWork) {
    return 0;
  }
  Plane expected(buffer_bytes, kPoison);
  const Plane source(area.frameData, area.frameData + frame_size);
  if (width == dw && height == dh) {
    expected = source;
  } else {
    const long offset = orvid::LetterboxOffset(width, height, dw, dh);
    if (offset > 0 && before.buffer_stale) orvid::PaintBlack(expected.data(), dw, dh);
    scaler_reference::RefScale(source, width, height, &expected, dw, dh, offset);
  }
  FUZZ_CHECK(memcmp(expected.data(), buffer, buffer_bytes) == 0, "the scaled frame");
  return 0;
}
