// The pieces publish is built from, on their own: the pixel formats it
// converts to, the handover of frames between its two threads, and the
// "no picture" card.
#include <stdint.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sharedmem/sharedframearea.h"
#include "tools/QuorvexLumenPlug/framehandover.h"
#include "tools/QuorvexLumenPlug/nopicture.h"
#include "tools/QuorvexLumenPlug/pixelformats.h"

namespace {

using Bytes = std::vector<uint8_t>;
using lumenplug::PixelFormat;

// A frame in the camera's layout whose every byte differs from its
// neighbours, so that a sample taken from the wrong place shows.
Bytes CameraFrame(uint32_t width, uint32_t height, uint32_t seed) {
  Bytes frame(tessel::PlanarFrameBytes(width, height));
  std::mt19937 random(seed);
  for (uint8_t& byte : frame) byte = static_cast<uint8_t>(random());
  return frame;
}

// The camera's samples, read by position the plain way.
struct CameraSamples {
  const Bytes& frame;
  uint32_t width, height;
  uint8_t Y(uint32_t x, uint32_t y) const { return frame[y * width + x]; }
  // Chroma at the published grid's (x, y): the camera's grid is floor-sized,
  // so its last column and row stand in for the missing ones.
  uint8_t C(int plane, uint32_t x, uint32_t y) const {
    const uint32_t cw = width / 2, ch = height / 2;
    if (cw == 0 || ch == 0) return 128;
    x = x < cw ? x : cw - 1;
    y = y < ch ? y : ch - 1;
    return frame[width * height + plane * cw * ch + y * cw + x];
  }
};

Bytes Convert(const Bytes& frame, uint32_t width, uint32_t height, PixelFormat format) {
  Bytes out(lumenplug::PublishedFrameBytes(format, width, height) + 16, 0xEE);
  lumenplug::ConvertFromCamera(frame.data(), width, height, format, out.data());
  // Guard bytes after the frame stay untouched.
  for (size_t i = out.size() - 16; i < out.size(); ++i) EXPECT_EQ(0xEE, out[i]);
  out.resize(out.size() - 16);
  return out;
}

const uint32_t kSizes[][2] = {{320, 240}, {640, 480}, {176, 144}, {7, 5},
                              {1, 1},     {1, 6},     {6, 1},     {33, 17}};

TEST(PixelFormats, I420OfEvenSizesIsTheCamerasLayoutByteForByte) {
  for (auto [w, h] : {std::pair{320u, 240u}, {640u, 360u}, {2u, 2u}, {176u, 144u}}) {
    const Bytes frame = CameraFrame(w, h, w * h);
    EXPECT_EQ(frame, Convert(frame, w, h, PixelFormat::kI420)) << w << "x" << h;
  }
}

TEST(PixelFormats, EveryFormatTakesEachSampleFromItsPlace) {
  for (const auto& size : kSizes) {
    const uint32_t w = size[0], h = size[1];
    const Bytes frame = CameraFrame(w, h, w + 1000 * h);
    const CameraSamples in{frame, w, h};
    const uint32_t cw = (w + 1) / 2, ch = (h + 1) / 2;
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));

    const Bytes i420 = Convert(frame, w, h, PixelFormat::kI420);
    ASSERT_EQ(w * h + 2 * cw * ch, i420.size());
    const Bytes nv12 = Convert(frame, w, h, PixelFormat::kNV12);
    ASSERT_EQ(i420.size(), nv12.size());
    for (uint32_t y = 0; y < h; ++y) {
      for (uint32_t x = 0; x < w; ++x) {
        ASSERT_EQ(in.Y(x, y), i420[y * w + x]);
        ASSERT_EQ(in.Y(x, y), nv12[y * w + x]);
      }
    }
    for (uint32_t y = 0; y < ch; ++y) {
      for (uint32_t x = 0; x < cw; ++x) {
        ASSERT_EQ(in.C(0, x, y), i420[w * h + y * cw + x]) << x << "," << y;
        ASSERT_EQ(in.C(1, x, y), i420[w * h + cw * ch + y * cw + x]) << x << "," << y;
        ASSERT_EQ(in.C(0, x, y), nv12[w * h + y * 2 * cw + 2 * x]) << x << "," << y;
        ASSERT_EQ(in.C(1, x, y), nv12[w * h + y * 2 * cw + 2 * x + 1]) << x << "," << y;
      }
    }

    // YUY2: pairs of pixels share the chroma of their 2x2 block.
    const Bytes yuy2 = Convert(frame, w, h, PixelFormat::kYUY2);
    const uint32_t stride = lumenplug::PublishedStride(PixelFormat::kYUY2, w);
    ASSERT_EQ(4 * cw, stride);
    ASSERT_EQ(stride * h, yuy2.size());
    for (uint32_t y = 0; y < h; ++y) {
      for (uint32_t pair = 0; pair < cw; ++pair) {
        const uint8_t* p = &yuy2[y * stride + 4 * pair];
        const uint32_t x = 2 * pair;
        ASSERT_EQ(in.Y(x, y), p[0]);
        ASSERT_EQ(in.C(0, pair, y / 2), p[1]);
        // An odd last column repeats its own luma sample.
        ASSERT_EQ(in.Y(x + 1 < w ? x + 1 : x, y), p[2]);
        ASSERT_EQ(in.C(1, pair, y / 2), p[3]);
      }
    }
  }
}

TEST(PixelFormats, StridesAndSizesAreTheCommonOnes) {
  EXPECT_EQ(115200u, lumenplug::PublishedFrameBytes(PixelFormat::kI420, 320, 240));
  EXPECT_EQ(115200u, lumenplug::PublishedFrameBytes(PixelFormat::kNV12, 320, 240));
  EXPECT_EQ(153600u, lumenplug::PublishedFrameBytes(PixelFormat::kYUY2, 320, 240));
  EXPECT_EQ(640u, lumenplug::PublishedStride(PixelFormat::kYUY2, 320));
  EXPECT_EQ(320u, lumenplug::PublishedStride(PixelFormat::kNV12, 320));
  // Odd sizes round the chroma up, as readers of these formats expect.
  EXPECT_EQ(7u * 5 + 2 * 4 * 3, lumenplug::PublishedFrameBytes(PixelFormat::kI420, 7, 5));
  EXPECT_EQ(16u, lumenplug::PublishedStride(PixelFormat::kYUY2, 7));
}

// A frame whose every byte says which frame it is: a torn frame mixes two.
void FillWith(lumenplug::HandedFrame* slot, uint8_t value, size_t bytes) {
  slot->bytes.assign(bytes, value);
  slot->width = static_cast<uint32_t>(bytes);
  slot->height = 1;
}

TEST(FrameHandover, GivesTheNewestFrameOnceAndCountsTheSkipped) {
  lumenplug::FrameHandover handover;
  EXPECT_EQ(nullptr, handover.TakeNewest());
  EXPECT_FALSE(handover.Pending());
  for (uint8_t value : {1, 2, 3}) {
    FillWith(handover.BeginWrite(), value, 8);
    handover.Publish();
  }
  EXPECT_TRUE(handover.Pending());
  const lumenplug::HandedFrame* frame = handover.TakeNewest();
  ASSERT_NE(nullptr, frame);
  EXPECT_EQ(Bytes(8, 3), frame->bytes);  // newest wins
  EXPECT_EQ(3u, frame->sequence);
  EXPECT_EQ(2u, handover.skipped());
  EXPECT_EQ(nullptr, handover.TakeNewest());  // never twice

  // The frame taken stays intact while the writer goes on.
  FillWith(handover.BeginWrite(), 4, 8);
  handover.Publish();
  FillWith(handover.BeginWrite(), 5, 8);
  EXPECT_EQ(Bytes(8, 3), frame->bytes);
  handover.Publish();
  EXPECT_EQ(Bytes(8, 3), frame->bytes);
  EXPECT_EQ(5u, handover.TakeNewest()->sequence);
}

TEST(FrameHandover, AReaderOnAnotherThreadNeverSeesATornFrame) {
  // The writer fills large frames byte by byte while the reader takes them;
  // every frame taken must be whole, newer than the last, and all frames
  // must be either taken or counted as skipped.
  lumenplug::FrameHandover handover;
  constexpr uint64_t kFrames = 3000;
  constexpr size_t kBytes = 4096;
  std::atomic<bool> done{false};
  uint64_t taken = 0;
  uint64_t last_sequence = 0;
  bool whole = true;
  bool ordered = true;
  std::thread reader([&] {
    for (;;) {
      const bool finished = done.load();
      while (const lumenplug::HandedFrame* frame = handover.TakeNewest()) {
        const uint8_t value = static_cast<uint8_t>(frame->sequence);
        for (uint8_t byte : frame->bytes) whole = whole && byte == value;
        ordered = ordered && frame->sequence > last_sequence;
        last_sequence = frame->sequence;
        ++taken;
      }
      if (finished) return;
      std::this_thread::yield();
    }
  });
  for (uint64_t i = 1; i <= kFrames; ++i) {
    lumenplug::HandedFrame* slot = handover.BeginWrite();
    slot->bytes.resize(kBytes);
    for (size_t b = 0; b < kBytes; ++b) slot->bytes[b] = static_cast<uint8_t>(i);
    handover.Publish();
  }
  done = true;
  reader.join();
  EXPECT_TRUE(whole);
  EXPECT_TRUE(ordered);
  EXPECT_EQ(kFrames, last_sequence);  // the last frame always arrives
  EXPECT_EQ(kFrames, taken + handover.skipped());
}

TEST(NoPicture, ShowsTheNameAndTheNoticeOnADimBackground) {
  constexpr uint32_t w = 320, h = 240;
  Bytes card(tessel::PlanarFrameBytes(w, h));
  lumenplug::RenderNoPicture("Quorvex Camera Adapter 0", w, h, card.data());
  size_t text = 0;
  size_t background = 0;
  for (size_t i = 0; i < w * h; ++i) {
    text += card[i] == lumenplug::kNoPictureTextLuma;
    background += card[i] == lumenplug::kNoPictureBackgroundLuma;
  }
  EXPECT_EQ(w * h, text + background);
  EXPECT_GT(text, w * h / 50);                                           // legible letters
  EXPECT_GT(background, w * h / 2);                                      // mostly dim
  for (size_t i = w * h; i < card.size(); ++i) ASSERT_EQ(128, card[i]);  // grey, no colour
  // Letters on two lines: rows above and below the middle carry text.
  auto row_has_text = [&](uint32_t y0, uint32_t y1) {
    for (uint32_t y = y0; y < y1; ++y) {
      for (uint32_t x = 0; x < w; ++x) {
        if (card[y * w + x] == lumenplug::kNoPictureTextLuma) return true;
      }
    }
    return false;
  };
  EXPECT_TRUE(row_has_text(h / 4, h / 2));
  EXPECT_TRUE(row_has_text(h / 2, 3 * h / 4));
  EXPECT_FALSE(row_has_text(0, h / 8));

  Bytes other(card.size());
  lumenplug::RenderNoPicture("Another Camera", w, h, other.data());
  EXPECT_NE(card, other);
}

TEST(NoPicture, DrawsAnySizeInsideItsFrame) {
  // Under AddressSanitizer a stray letter pixel outside the frame shows.
  for (auto [w, h] : {std::pair{1u, 1u},
                      {2u, 2u},
                      {5u, 400u},
                      {640u, 480u},
                      {640u, 2u},
                      {31u, 9u},
                      {160u, 120u}}) {
    Bytes card(tessel::PlanarFrameBytes(w, h));
    lumenplug::RenderNoPicture("Quorvex Camera Adapter 0 with a very long name indeed", w, h,
                               card.data());
    for (size_t i = 0; i < size_t{w} * h; ++i) {
      ASSERT_TRUE(card[i] == lumenplug::kNoPictureBackgroundLuma ||
                  card[i] == lumenplug::kNoPictureTextLuma);
    }
  }
}

}  // namespace
