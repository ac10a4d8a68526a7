#include "scaler/yuvscaler.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/scaler_reference.h"

namespace {

using scaler_reference::AreaSample;
using scaler_reference::Plane;
using scaler_reference::RefArea;
using scaler_reference::RefDownN;
using scaler_reference::RefNearest;
using scaler_reference::RefReplicate;
using scaler_reference::RefScale;
using scaler_reference::RefScalePlane;

// ---- Helpers ----

// A plane's size before and after scaling.
struct Shape {
  long sw, sh, dw, dh;
};

// Random samples from a seed drawn from `rng`; a 64-bit LCG fills eight
// at a time, which keeps the large planes cheap in unoptimised builds.
Plane RandomBytes(std::mt19937& rng, size_t n) {
  Plane p(n);
  uint64_t state = rng();
  for (size_t i = 0; i < n; i += 8) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    const uint64_t bits = state ^ (state >> 29);
    memcpy(p.data() + i, &bits, std::min<size_t>(8, n - i));
  }
  return p;
}

int64_t ImageBytes(int64_t w, int64_t h) { return w * h + 2 * (w >> 1) * (h >> 1); }

// Runs `write` on a copy of `before` allocated to exactly its size (so
// AddressSanitizer reports any byte written past it) and on a copy followed
// by guard bytes (caught in any build); both must agree and the guard stay.
Plane WriteGuarded(const Plane& before, const std::function<void(uint8_t*)>& write) {
  Plane exact(before);
  write(exact.data());
  Plane guarded(before);
  guarded.resize(before.size() + 64, 0xA5);
  write(guarded.data());
  for (size_t i = before.size(); i < guarded.size(); ++i) EXPECT_EQ(0xA5, guarded[i]) << i;
  EXPECT_TRUE(std::equal(exact.begin(), exact.end(), guarded.begin()));
  return exact;
}

using PlaneFn = void (*)(long, long, long, long, const uint8_t*, uint8_t*, bool);

Plane RunPlane(PlaneFn fn, const Plane& src, long sw, long sh, long dw, long dh, bool interpolate) {
  return WriteGuarded(Plane(dw * dh, 0x5C),
                      [&](uint8_t* d) { fn(sw, sh, dw, dh, src.data(), d, interpolate); });
}

Plane RunSlow(const Plane& src, long sw, long sh, long dw, long dh) {
  return WriteGuarded(Plane(dw * dh, 0x5C), [&](uint8_t* d) {
    YuvScaler::ScalePlaneSlow(sw, sh, dw, dh, src.data(), d);
  });
}

Plane RunScalePlane(const Plane& src, long sw, long sh, long dw, long dh, bool interpolate) {
  return WriteGuarded(Plane(dw * dh, 0x5C), [&](uint8_t* d) {
    YuvScaler::ScalePlane(src.data(), sw, sh, d, dw, dh, interpolate);
  });
}

// ---- Worked examples ----

TEST(YuvScaler, AreaAverageExamples) {
  EXPECT_EQ(Plane({30, 150}), RunSlow({0, 90, 180}, 3, 1, 2, 1));
  // Column weights 4 and 2, 2 and 4, 4 and 2, 2 and 4.
  EXPECT_EQ(Plane({20, 100, 200, 250}), RunSlow({0, 60, 120, 180, 240, 255}, 6, 1, 4, 1));
  Plane ramp(16);
  for (int i = 0; i < 16; ++i) ramp[i] = uint8_t(10 * i);
  EXPECT_EQ(Plane({25, 45, 105, 125}), RunScalePlane(ramp, 4, 4, 2, 2, true));
  // Grows in height only: the area average, not the nearest sample.
  const Plane rows = {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110};
  EXPECT_EQ(Plane({0, 10, 20, 30, 27, 37, 47, 57, 53, 63, 73, 83, 80, 90, 100, 110}),
            RunScalePlane(rows, 4, 3, 4, 4, false));
}

TEST(YuvScaler, EnlargementExamples) {
  const Plane p = {1, 2, 3, 4};
  EXPECT_EQ(Plane({1, 1, 2, 2, 1, 1, 2, 2, 3, 3, 4, 4, 3, 3, 4, 4}),
            RunScalePlane(p, 2, 2, 4, 4, true));
  EXPECT_EQ(RefReplicate(p, 2, 2, 4), RunScalePlane(p, 2, 2, 8, 8, true));
  // 2 x 2 -> 3 x 3: source column and row floor(i * 2 / 3) = 0, 0, 1.
  EXPECT_EQ(Plane({1, 1, 2, 1, 1, 2, 3, 3, 4}), RunScalePlane(p, 2, 2, 3, 3, true));
}

TEST(YuvScaler, Down2TruncatesOrPicksTopLeft) {
  const Plane block = {1, 2, 3, 5};
  EXPECT_EQ(Plane({2}), RunPlane(YuvScaler::ScalePlaneDown2, block, 2, 2, 1, 1, true));  // 11 >> 2
  EXPECT_EQ(Plane({1}), RunPlane(YuvScaler::ScalePlaneDown2, block, 2, 2, 1, 1, false));
}

TEST(YuvScaler, EqualSizesCopyPlaneAndImage) {
  std::mt19937 rng(1);
  const Plane src = RandomBytes(rng, ImageBytes(7, 5));
  EXPECT_EQ(Plane(src.begin(), src.begin() + 35), RunScalePlane(src, 7, 5, 7, 5, true));
  EXPECT_EQ(src, WriteGuarded(Plane(src.size(), 0), [&](uint8_t* d) {
              YuvScaler::Scale(src.data(), 7, 5, d, 7, 5, 0, true);
            }));
}

TEST(YuvScaler, LetterboxLeavesBandsInAllPlanes) {
  // 320 x 180 in 320 x 240 with offset 30: luma rows 30..209, chroma rows
  // 15..104 of each plane; everything else keeps the sentinel.
  std::mt19937 rng(2);
  const Plane src = RandomBytes(rng, ImageBytes(320, 180));
  const Plane out = WriteGuarded(Plane(ImageBytes(320, 240), 0xEE), [&](uint8_t* d) {
    YuvScaler::Scale(src.data(), 320, 180, d, 320, 240, 30, true);
  });
  const auto band_is_sentinel = [&](int64_t from, int64_t to) {
    return std::all_of(out.begin() + from, out.begin() + to, [](uint8_t b) { return b == 0xEE; });
  };
  EXPECT_TRUE(band_is_sentinel(0, 30 * 320));
  EXPECT_TRUE(std::equal(src.begin(), src.begin() + 320 * 180, out.begin() + 30 * 320));
  EXPECT_TRUE(band_is_sentinel(210 * 320, 240 * 320));
  for (int plane = 0; plane < 2; ++plane) {
    const int64_t s = 320 * 180 + plane * 160 * 90, d = 320 * 240 + plane * 160 * 120;
    EXPECT_TRUE(band_is_sentinel(d, d + 15 * 160));
    EXPECT_TRUE(
        std::equal(src.begin() + s, src.begin() + s + 160 * 90, out.begin() + d + 15 * 160));
    EXPECT_TRUE(band_is_sentinel(d + 105 * 160, d + 120 * 160));
  }
}

TEST(YuvScaler, OddImageSizesPlaceChromaPlanes) {
  // Constant planes scale to constant planes, so each region shows where
  // ScalePlane put it: 7 x 9 luma, then two 3 x 4 chroma planes.
  Plane src(ImageBytes(5, 3));
  std::fill(src.begin(), src.begin() + 15, 10);
  std::fill(src.begin() + 15, src.begin() + 17, 20);
  std::fill(src.begin() + 17, src.end(), 30);
  const Plane out = WriteGuarded(Plane(ImageBytes(7, 9), 0), [&](uint8_t* d) {
    YuvScaler::Scale(src.data(), 5, 3, d, 7, 9, 0, true);
  });
  Plane expected(63, 10);
  expected.insert(expected.end(), 12, 20);
  expected.insert(expected.end(), 12, 30);
  EXPECT_EQ(expected, out);
}

// ---- Sweeps against the references ----

TEST(YuvScaler, AreaAverageMatchesReferenceOnRandomSizes) {
  // Small sizes cross every limit of the vector code (8 and 16 columns,
  // window and tap counts); large ones mix reductions and enlargements.
  std::mt19937 rng(3);
  for (int i = 0; i < 300; ++i) {
    std::uniform_int_distribution<long> size(1, i < 288 ? 48 : 700);
    const long dw = size(rng), dh = size(rng);
    long sw = size(rng), sh = size(rng);
    if (i % 8 == 0) sw = 2 * dw, sh = 2 * dh;  // exact halving has its own code
    const Plane src = RandomBytes(rng, sw * sh);
    ASSERT_EQ(RefArea(src, sw, sh, dw, dh), RunSlow(src, sw, sh, dw, dh))
        << sw << "x" << sh << " -> " << dw << "x" << dh;
  }
}

TEST(YuvScaler, AreaAverageAtTheLimitsOfTheVectorCode) {
  // Reduced ratios (sizes divided by their gcd) around 127 column units,
  // a total weight of 256, four taps per column and 2048 columns.
  struct Ratio {
    long sw, dw, sh, dh;
  };
  const Ratio ratios[] = {{127, 125, 2, 1}, {128, 125, 2, 1}, {64, 63, 4, 3},    {1, 1, 256, 255},
                          {1, 1, 257, 256}, {1, 2, 256, 1},   {2, 1, 128, 1},    {5, 3, 3, 2},
                          {7, 4, 5, 3},     {7, 2, 1, 1},     {11, 10, 6, 5},    {2, 1, 3, 2},
                          {85, 23, 3, 2},   {3, 8, 2, 5},     {1025, 1024, 1, 1}};
  std::mt19937 rng(4);
  for (const Ratio& r : ratios) {
    for (long g : {1, 3, 16}) {
      const long sw = r.sw * g, dw = r.dw * g, sh = r.sh * (g > 3 ? 1 : g),
                 dh = r.dh * (g > 3 ? 1 : g);
      if (sw * sh > 600000 || dw * dh > 600000) continue;
      const Plane src = RandomBytes(rng, sw * sh);
      ASSERT_EQ(RefArea(src, sw, sh, dw, dh), RunSlow(src, sw, sh, dw, dh))
          << sw << "x" << sh << " -> " << dw << "x" << dh;
    }
  }
  for (long dw : {2047, 2048, 2049}) {
    const Plane src = RandomBytes(rng, 2300 * 3);
    ASSERT_EQ(RefArea(src, 2300, 3, dw, 2), RunSlow(src, 2300, 3, dw, 2)) << dw;
  }
}

TEST(YuvScaler, AreaAverageMatchesReferenceOnStrongReductionsAcross) {
  // Column footprints wider than a vector window (the two-pass kernel):
  // whole ratios and ratios just above and below them, prime widths, one-
  // and two-sample planes, row footprints of 1 to 257 units and just past
  // that, where the 16-bit column sums would overflow, and column
  // footprints of seven to nine columns around the pmaddwd pass's eight.
  const Shape shapes[] = {
      {640, 480, 160, 120}, {640, 480, 176, 144}, {641, 480, 160, 120}, {639, 479, 160, 120},
      {997, 211, 101, 53},  {1021, 7, 13, 7},     {64, 64, 1, 1},       {64, 64, 2, 2},
      {65, 3, 1, 2},        {2, 1, 1, 1},         {4001, 2, 1000, 1},   {3999, 2, 1000, 1},
      {300, 257, 37, 1},    {300, 258, 37, 1},    {300, 514, 37, 2},    {257, 771, 31, 3},
      {700, 700, 3, 699},   {700, 2, 7, 3},       {1000, 1, 9, 1},      {96, 5, 7, 5},
      {700, 128, 100, 1},   {700, 129, 100, 1},   {701, 128, 100, 3},   {640, 128, 91, 1},
      {639, 5, 91, 5},      {640, 5, 80, 5},      {645, 5, 80, 5},      {300, 7, 43, 7},
  };
  std::mt19937 rng(11);
  for (const Shape& c : shapes) {
    const Plane src = RandomBytes(rng, c.sw * c.sh);
    ASSERT_EQ(RefArea(src, c.sw, c.sh, c.dw, c.dh), RunSlow(src, c.sw, c.sh, c.dw, c.dh))
        << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh;
  }
  // White everywhere: the largest column sums the 16-bit lanes hold, and
  // the largest that the pmaddwd pass takes as signed (row footprints of
  // 128 units) or leaves to the plain pass (129), with footprints of up to
  // eight columns and of nine.
  for (const Shape& c : {Shape{300, 257, 37, 1}, Shape{1024, 257, 16, 1}, Shape{700, 128, 100, 1},
                         Shape{700, 129, 100, 1}, Shape{640, 128, 91, 1}, Shape{640, 256, 80, 2}}) {
    const Plane white(c.sw * c.sh, 255);
    EXPECT_EQ(Plane(c.dw * c.dh, 255), RunSlow(white, c.sw, c.sh, c.dw, c.dh));
  }
}

TEST(YuvScaler, HalvingAcrossWithHeavyRowWeightsDoesNotSaturate) {
  // 2:1 across with a strong enlargement down gives single rows weights up
  // to the footprint's length: weight * (a + b) must not saturate the
  // vector code's signed 16-bit sums (a row weight of 91 once did, found by
  // fuzzing the camera). White is where the sums are largest.
  const Shape shapes[] = {{58, 91, 29, 647}, {64, 64, 32, 65},   {64, 65, 32, 66},
                          {96, 65, 48, 66},  {64, 127, 32, 128}, {34, 64, 17, 65}};
  std::mt19937 rng(13);
  for (const Shape& c : shapes) {
    for (bool white : {true, false}) {
      const Plane src = white ? Plane(c.sw * c.sh, 255) : RandomBytes(rng, c.sw * c.sh);
      ASSERT_EQ(RefArea(src, c.sw, c.sh, c.dw, c.dh), RunSlow(src, c.sw, c.sh, c.dw, c.dh))
          << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh << (white ? " white" : "");
    }
  }
}

TEST(YuvScaler, TablesKeptForEarlierShapesServeOnlyTheirShape) {
  // The kernels keep the tables of the last few shapes they scaled. Six
  // shapes in turn, twice, more than are kept: each must come out as if
  // it were the first.
  const Shape shapes[] = {{352, 288, 320, 240}, {176, 144, 160, 120}, {176, 144, 320, 240},
                          {88, 72, 160, 120},   {353, 288, 320, 240}, {177, 144, 320, 240}};
  std::mt19937 rng(12);
  for (int round = 0; round < 2; ++round) {
    for (const Shape& c : shapes) {
      const Plane src = RandomBytes(rng, c.sw * c.sh);
      ASSERT_EQ(RefScalePlane(src, c.sw, c.sh, c.dw, c.dh),
                RunScalePlane(src, c.sw, c.sh, c.dw, c.dh, true))
          << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh << " in round " << round;
    }
  }
}

TEST(YuvScaler, RowPlansAndColumnTablesAreKeptApart) {
  // The two-tap kernel keeps its column tables by width and its row plans
  // by height, apart: shapes that share one and not the other, in turn.
  // Heights give chains of destination rows cut at the plane's end, at
  // their longest, and between rows of one source row, and a period
  // longer than any row plan is made for.
  const Shape shapes[] = {{352, 288, 320, 240}, {352, 12, 320, 10}, {352, 7, 320, 5},
                          {704, 288, 640, 240}, {352, 33, 320, 30}, {352, 100, 320, 150},
                          {176, 288, 160, 240}, {352, 241, 320, 240}, {352, 3, 320, 4099},
                          {352, 288, 320, 240}};
  std::mt19937 rng(17);
  for (int round = 0; round < 2; ++round) {
    for (const Shape& c : shapes) {
      const Plane src = RandomBytes(rng, c.sw * c.sh);
      ASSERT_EQ(RefArea(src, c.sw, c.sh, c.dw, c.dh), RunSlow(src, c.sw, c.sh, c.dw, c.dh))
          << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh << " in round " << round;
    }
  }
}

TEST(YuvScaler, AreaAverageMatchesReferenceOnTheSpecialShapes) {
  // 2:1 across with every other ratio down (footprints over one, two and
  // three or more rows; enlarging down; row weights just inside and outside
  // the byte-weight limit), the reverse (2:1 down, any ratio across), and
  // ratios just off whole numbers, at every destination width 1..80 so that
  // each block size and overlapping last block is crossed.
  struct Ratio {
    long sw_per_dw_num, sw_per_dw_den, sh, dh;  // sw = dw * num / den
  };
  const Ratio ratios[] = {{2, 1, 3, 2}, {2, 1, 6, 5},   {2, 1, 5, 3},   {2, 1, 7, 2},
                          {2, 1, 2, 3}, {2, 1, 1, 1},   {2, 1, 127, 1}, {2, 1, 128, 1},
                          {3, 2, 4, 2}, {11, 10, 2, 1}, {11, 10, 6, 5}, {2, 1, 4, 1}};
  std::mt19937 rng(15);
  for (const Ratio& r : ratios) {
    for (long dw = 1; dw <= 80; ++dw) {
      if (dw * r.sw_per_dw_num % r.sw_per_dw_den != 0) continue;
      const long sw = dw * r.sw_per_dw_num / r.sw_per_dw_den;
      const long sh = r.sh * (r.sh > 8 ? 1 : 1 + dw % 3), dh = r.dh * (r.sh > 8 ? 1 : 1 + dw % 3);
      const Plane src = RandomBytes(rng, sw * sh);
      ASSERT_EQ(RefArea(src, sw, sh, dw, dh), RunSlow(src, sw, sh, dw, dh))
          << sw << "x" << sh << " -> " << dw << "x" << dh;
    }
  }
  // Just above and below whole ratios, prime widths, planes 1 and 2 wide.
  const long sizes[][4] = {{641, 5, 320, 3}, {639, 5, 320, 3}, {321, 9, 160, 4}, {640, 7, 320, 5},
                           {127, 3, 61, 2},  {97, 4, 31, 3},   {1, 9, 1, 4},     {2, 9, 1, 5},
                           {2, 2, 1, 1},     {1, 1, 1, 1},     {64, 1, 32, 1},   {700, 3, 350, 2}};
  for (const auto& z : sizes) {
    const Plane src = RandomBytes(rng, z[0] * z[1]);
    ASSERT_EQ(RefArea(src, z[0], z[1], z[2], z[3]), RunSlow(src, z[0], z[1], z[2], z[3]))
        << z[0] << "x" << z[1] << " -> " << z[2] << "x" << z[3];
  }
}

TEST(YuvScaler, AreaAverageMatchesReferenceWithTwoTapsAndTwoRows) {
  // Ratios whose footprints touch at most two columns and two rows (the
  // periodic two-tap kernel), with periods of 2 to 32 entries of 16
  // columns, row weights up to 16 and products of the unit counts just
  // below and above 127; and, for contrast, ratios it must decline.  Every
  // multiple of the reduced destination width up to 400 columns, so that
  // rows end on every entry of a period and with or without a tail.
  struct Ratio {
    long sw, dw;
  };
  const Ratio across[] = {{11, 10}, {5, 4},   {9, 8}, {17, 16}, {7, 5},   {4, 3},
                          {3, 2},   {10, 11}, {1, 1}, {33, 32}, {21, 20}, {13, 7}};
  const Ratio down[] = {{6, 5}, {3, 2}, {1, 1}, {5, 6}, {2, 1}, {11, 10}, {17, 16}, {1, 3}};
  std::mt19937 rng(16);
  for (const Ratio& c : across) {
    for (const Ratio& r : down) {
      for (long k = 1; c.dw * k <= 400; k += (c.dw * k < 120 ? 1 : 7)) {
        const long sw = c.sw * k, dw = c.dw * k, m = 1 + k % 3;
        const long sh = r.sw * m, dh = r.dw * m;
        if (sw == dw && sh == dh) continue;
        const Plane src = RandomBytes(rng, sw * sh);
        ASSERT_EQ(RefArea(src, sw, sh, dw, dh), RunSlow(src, sw, sh, dw, dh))
            << sw << "x" << sh << " -> " << dw << "x" << dh;
      }
    }
  }
  // The camera's 11:10 x 6:5 planes, odd heights and widths off the period.
  const long sizes[][4] = {{352, 288, 320, 240}, {176, 144, 160, 120}, {352, 7, 320, 5},
                           {187, 13, 170, 11},   {33, 3, 30, 2},       {22, 6, 20, 5},
                           {374, 12, 340, 10},   {121, 121, 110, 110}};
  for (const auto& z : sizes) {
    const Plane src = RandomBytes(rng, z[0] * z[1]);
    ASSERT_EQ(RefArea(src, z[0], z[1], z[2], z[3]), RunSlow(src, z[0], z[1], z[2], z[3]))
        << z[0] << "x" << z[1] << " -> " << z[2] << "x" << z[3];
  }
}

TEST(YuvScaler, RoundsHalvesUpAtEveryQuotientBoundary) {
  // With d source samples per destination sample (W = d), each destination
  // sample gets a source sum S on either side of a rounding step: S + d/2 =
  // q*d - 1 and q*d, for q = 1..255, plus 0 and 255*d.  Footprints run down
  // columns (vector code up to d = 256) and along rows (wide footprints).
  for (long d : {1,  2,  3,   4,   5,   6,   7,   9,   11,  13,  17,  31,  63,
                 64, 65, 100, 127, 128, 129, 200, 255, 256, 257, 300, 1000}) {
    std::vector<uint64_t> sums = {0, uint64_t(255 * d)};
    for (uint64_t q = 1; q <= 255; ++q) {
      sums.push_back(q * d - d / 2 - 1);
      sums.push_back(q * d - d / 2);
    }
    Plane down(16 * d * 32), along(16 * d * 32), expected(16 * 32);
    for (size_t k = 0; k < sums.size(); ++k) {
      const long x = long(k % 16), y = long(k / 16);
      for (long i = 0; i < d; ++i) {  // d samples that add up to sums[k]
        const uint8_t v = uint8_t(sums[k] / d + (uint64_t(i) < sums[k] % d ? 1 : 0));
        down[(y * d + i) * 16 + x] = v;
        along[x * (32 * d) + y * d + i] = v;
      }
      expected[x * 32 + y] = uint8_t((sums[k] + d / 2) / d);
    }
    const Plane by_column = RunSlow(down, 16, 32 * d, 16, 32);
    const Plane by_row = RunSlow(along, 32 * d, 16, 32, 16);
    for (long x = 0; x < 16; ++x)
      for (long y = 0; y < 32; ++y) {
        ASSERT_EQ(expected[x * 32 + y], by_column[y * 16 + x]) << "d=" << d << " x=" << x;
        ASSERT_EQ(expected[x * 32 + y], by_row[x * 32 + y]) << "d=" << d << " x=" << x;
      }
  }
}

TEST(YuvScaler, ScalePlaneMatchesDispatchReference) {
  std::mt19937 rng(5);
  for (int i = 0; i < 200; ++i) {
    std::uniform_int_distribution<long> size(1, i < 190 ? 40 : 300);
    const long sw = size(rng), sh = size(rng);
    long dw = size(rng), dh = size(rng);
    if (i % 5 == 0) dw = 2 * sw, dh = 2 * sh;  // the exact ratios
    if (i % 5 == 1) dw = 4 * sw, dh = 4 * sh;
    if (i % 5 == 2) dw = sw;  // one side equal
    const Plane src = RandomBytes(rng, sw * sh);
    const Plane expected = RefScalePlane(src, sw, sh, dw, dh);
    ASSERT_EQ(expected, RunScalePlane(src, sw, sh, dw, dh, true))
        << sw << "x" << sh << "->" << dw << "x" << dh;
    ASSERT_EQ(expected, RunScalePlane(src, sw, sh, dw, dh, false));  // the flag changes nothing
  }
}

TEST(YuvScaler, EachMethodMatchesItsReference) {
  std::mt19937 rng(6);
  std::uniform_int_distribution<long> size(1, 64);
  for (int i = 0; i < 80; ++i) {
    const long w = size(rng), h = size(rng), dw = size(rng), dh = size(rng);
    const bool interp = i % 2 == 0;
    // Sources allocated to their exact size: over-reads are caught too.
    const Plane a = RandomBytes(rng, w * h), a2 = RandomBytes(rng, 4 * w * h),
                a4 = RandomBytes(rng, 16 * w * h);
    // Nearest sample in any direction.
    ASSERT_EQ(RefNearest(a, w, h, dw, dh),
              RunPlane(YuvScaler::ScalePlaneUp, a, w, h, dw, dh, interp));
    ASSERT_EQ(RefNearest(a, w, h, dw, dh),
              RunPlane(YuvScaler::ScalePlaneDown, a, w, h, dw, dh, false));
    ASSERT_EQ(RefArea(a, w, h, dw, dh), RunPlane(YuvScaler::ScalePlaneDown, a, w, h, dw, dh, true));
    ASSERT_EQ(RefReplicate(a, w, h, 2),
              RunPlane(YuvScaler::ScalePlaneUp2, a, w, h, 2 * w, 2 * h, interp));
    ASSERT_EQ(RefReplicate(a, w, h, 4),
              RunPlane(YuvScaler::ScalePlaneUp4, a, w, h, 4 * w, 4 * h, interp));
    ASSERT_EQ(RefDownN(a2, 2 * w, w, h, 2, interp),
              RunPlane(YuvScaler::ScalePlaneDown2, a2, 2 * w, 2 * h, w, h, interp));
    ASSERT_EQ(RefDownN(a4, 4 * w, w, h, 4, interp),
              RunPlane(YuvScaler::ScalePlaneDown4, a4, 4 * w, 4 * h, w, h, interp));
  }
}

TEST(YuvScaler, ScaleMatchesReferenceOnRandomImages) {
  // Odd sizes, every offset that leaves room, destination prefilled.
  std::mt19937 rng(7);
  std::uniform_int_distribution<long> size(1, 120);
  for (int i = 0; i < 150; ++i) {
    const long sw = size(rng), sh = size(rng), dw = size(rng), dh = size(rng);
    const long off = std::uniform_int_distribution<long>(0, (dh - 1) / 2)(rng);
    const Plane src = RandomBytes(rng, ImageBytes(sw, sh));
    const Plane before = RandomBytes(rng, ImageBytes(dw, dh));
    Plane expected = before;
    RefScale(src, sw, sh, &expected, dw, dh, off);
    ASSERT_EQ(expected, WriteGuarded(before,
                                     [&](uint8_t* d) {
                                       YuvScaler::Scale(src.data(), sw, sh, d, dw, dh, off, true);
                                     }))
        << sw << "x" << sh << "->" << dw << "x" << dh << " off " << off;
  }
}

TEST(YuvScaler, ProducerFrameSizesMatchReference) {
  // The producer's sizes into the 320 x 240 output, with the offsets the
  // camera computes for them.
  struct Case {
    long sw, sh, off;
  };
  std::mt19937 rng(8);
  for (const Case& c :
       {Case{640, 480, 0}, Case{640, 360, 0}, Case{352, 288, 0}, Case{160, 120, 0},
        Case{176, 144, 0}, Case{320, 180, 30}, Case{160, 90, 30}, Case{80, 60, 0}}) {
    const Plane src = RandomBytes(rng, ImageBytes(c.sw, c.sh));
    Plane expected(ImageBytes(320, 240), 0x33);
    RefScale(src, c.sw, c.sh, &expected, 320, 240, c.off);
    ASSERT_EQ(expected, WriteGuarded(Plane(expected.size(), 0x33),
                                     [&](uint8_t* d) {
                                       YuvScaler::Scale(src.data(), c.sw, c.sh, d, 320, 240, c.off,
                                                        true);
                                     }))
        << c.sw << "x" << c.sh;
  }
}

TEST(YuvScaler, ReplicationMatchesReferenceAtEveryWidth) {
  // Widths 1..100 cross the 16- and 32-sample steps and the overlapping
  // last step of a row; a store past the row or the plane shows in the
  // guard bytes or the next row.
  std::mt19937 rng(13);
  for (long sw = 1; sw <= 100; ++sw) {
    for (long sh : {1L, 2L, 3L}) {
      const Plane src = RandomBytes(rng, sw * sh);
      ASSERT_EQ(RefReplicate(src, sw, sh, 2), RunScalePlane(src, sw, sh, 2 * sw, 2 * sh, true))
          << sw << "x" << sh;
    }
  }
}

TEST(YuvScaler, NearestMatchesReferenceAroundTheBlockSizes) {
  // Destination widths 1..100 from sources around the 16- and 32-byte
  // windows, at ratios where a block's picks just fit its windows (about
  // 1.3 and 2) and where they do not (reductions, ratios near 1).
  std::mt19937 rng(14);
  for (long sw : {1L, 2L, 15L, 16L, 17L, 23L, 31L, 32L, 33L, 45L, 48L, 50L, 64L, 77L}) {
    for (long dw = 1; dw <= 100; ++dw) {
      const long sh = 1 + dw % 3, dh = 1 + (dw + sw) % 7;
      const Plane src = RandomBytes(rng, sw * sh);
      ASSERT_EQ(RefNearest(src, sw, sh, dw, dh),
                RunPlane(YuvScaler::ScalePlaneUp, src, sw, sh, dw, dh, true))
          << sw << "x" << sh << " -> " << dw << "x" << dh;
    }
  }
  // Runs of repeated rows of every length 1..6, and the camera's sizes;
  // heights of one period and of many (the runs of a period are planned
  // once), and periods longer than any plan is made for.
  struct Size {
    long sw, sh, dw, dh;
  };
  for (const Size& z : {Size{176, 144, 320, 240}, Size{88, 72, 160, 120}, Size{100, 7, 320, 40},
                        Size{57, 3, 211, 19}, Size{176, 3, 320, 4099}, Size{100, 4097, 320, 4099},
                        Size{176, 144, 320, 240}, Size{100, 14, 320, 80}}) {
    const Plane src = RandomBytes(rng, z.sw * z.sh);
    ASSERT_EQ(RefNearest(src, z.sw, z.sh, z.dw, z.dh),
              RunPlane(YuvScaler::ScalePlaneUp, src, z.sw, z.sh, z.dw, z.dh, true))
        << z.sw << "x" << z.sh;
  }
}

// ---- Large planes: sums past 32 bits ----

TEST(YuvScaler, LargePlanesNeedAndGetWideSums) {
  // 4400 x 4000 -> 1234 x 567: a footprint's weights total sw * sh =
  // 17.6e6, so S reaches 255 * 17.6e6 > 2^32; a 32-bit S would wrap and
  // give a wrong mean of an all-255 plane.
  const long sw = 4400, sh = 4000, dw = 1234, dh = 567;
  EXPECT_GT(255.0 * sw * sh, 4294967296.0);
  const Plane white(sw * sh, 255);
  EXPECT_NE(255, AreaSample<uint32_t>(white.data(), sw, sh, dw, dh, 1, 1));  // wraps
  EXPECT_EQ(255, AreaSample(white.data(), sw, sh, dw, dh, 1, 1));
  Plane out(dw * dh, 0);
  YuvScaler::ScalePlaneSlow(sw, sh, dw, dh, white.data(), out.data());
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 255; }));
}

TEST(YuvScaler, LargeRandomPlaneMatchesReference) {
  std::mt19937 rng(9);
  const long sw = 3001, sh = 2003, dw = 1234, dh = 567;
  const Plane src = RandomBytes(rng, sw * sh);
  Plane out(dw * dh);
  YuvScaler::ScalePlaneSlow(sw, sh, dw, dh, src.data(), out.data());
  for (long y = 0; y < dh; y += 7)
    for (long x = 0; x < dw; ++x)
      ASSERT_EQ(AreaSample(src.data(), sw, sh, dw, dh, x, y), out[y * dw + x]) << x << "," << y;
}

TEST(YuvScaler, NearestSampleProductsDoNotOverflow) {
  // x * sw reaches 4.9e9, past a signed 32-bit product.
  std::mt19937 rng(10);
  const Plane src = RandomBytes(rng, 70000);
  EXPECT_EQ(RefNearest(src, 70000, 1, 70001, 2),
            RunPlane(YuvScaler::ScalePlaneUp, src, 70000, 1, 70001, 2, true));
}

// ---- Malformed calls ----

TEST(YuvScaler, EmptyOrNegativeSizesTouchNothing) {
  const Plane one = {7}, before = {9};  // a copy of `one` would show
  for (long bad : {0L, -1L, -640L, 1L << 31}) {
    for (int which = 0; which < 4; ++which) {
      long s[4] = {1, 1, 1, 1};
      s[which] = bad;
      for (PlaneFn fn :
           {YuvScaler::ScalePlaneUp, YuvScaler::ScalePlaneUp2, YuvScaler::ScalePlaneUp4,
            YuvScaler::ScalePlaneDown, YuvScaler::ScalePlaneDown2, YuvScaler::ScalePlaneDown4}) {
        EXPECT_EQ(before, WriteGuarded(before, [&](uint8_t* d) {
                    fn(s[0], s[1], s[2], s[3], one.data(), d, true);
                  }));
      }
      EXPECT_EQ(before, WriteGuarded(before, [&](uint8_t* d) {
                  YuvScaler::ScalePlaneSlow(s[0], s[1], s[2], s[3], one.data(), d);
                  YuvScaler::CopyPlane(s[0], s[1], s[2], s[3], one.data(), d);
                  YuvScaler::ScalePlane(one.data(), s[0], s[1], d, s[2], s[3], true);
                  YuvScaler::Scale(one.data(), s[0], s[1], d, s[2], s[3], 0, true);
                }));
    }
  }
  // Null planes are refused too.
  Plane dst = before;
  YuvScaler::ScalePlane(nullptr, 1, 1, dst.data(), 1, 1, true);
  YuvScaler::Scale(nullptr, 1, 1, dst.data(), 1, 1, 0, true);
  YuvScaler::Scale(one.data(), 1, 1, nullptr, 1, 1, 0, true);
  EXPECT_EQ(before, dst);
}

TEST(YuvScaler, OffsetWithoutRoomWritesNothingAndNegativeCountsAsZero) {
  std::mt19937 rng(11);
  const Plane src = RandomBytes(rng, ImageBytes(8, 6));
  const Plane before(ImageBytes(8, 6), 0x11);
  for (long off : {3L, 4L, 1000L, (1L << 62)}) {  // 2 * off >= dh
    EXPECT_EQ(before, WriteGuarded(before,
                                   [&](uint8_t* d) {
                                     YuvScaler::Scale(src.data(), 8, 6, d, 8, 6, off, true);
                                   }))
        << off;
  }
  EXPECT_EQ(src, WriteGuarded(before, [&](uint8_t* d) {
              YuvScaler::Scale(src.data(), 8, 6, d, 8, 6, -5, true);
            }));
}

TEST(YuvScaler, WidthOneImageLeavesEmptyChromaAlone) {
  // sw = 1 halves to an empty chroma source: only the luma is written.
  const Plane src = {50, 60};
  const Plane out = WriteGuarded(Plane(ImageBytes(4, 4), 0x77), [&](uint8_t* d) {
    YuvScaler::Scale(src.data(), 1, 2, d, 4, 4, 0, true);
  });
  EXPECT_EQ(RefScalePlane(src, 1, 2, 4, 4), Plane(out.begin(), out.begin() + 16));
  EXPECT_TRUE(std::all_of(out.begin() + 16, out.end(), [](uint8_t b) { return b == 0x77; }));
}

TEST(YuvScaler, MismatchedRatiosStayInsideThePlanes) {
  // Replication and the 2:1 / 4:1 reductions called with other sizes fall
  // back to nearest sample / ScalePlaneDown instead of running off the end.
  std::mt19937 rng(12);
  const Plane src = RandomBytes(rng, 9 * 7);
  for (bool interp : {true, false}) {
    EXPECT_EQ(RefNearest(src, 9, 7, 17, 13),
              RunPlane(YuvScaler::ScalePlaneUp2, src, 9, 7, 17, 13, interp));
    EXPECT_EQ(RefNearest(src, 9, 7, 30, 28),
              RunPlane(YuvScaler::ScalePlaneUp4, src, 9, 7, 30, 28, interp));
    const Plane down2 = interp ? RefArea(src, 9, 7, 4, 3) : RefNearest(src, 9, 7, 4, 3);
    EXPECT_EQ(down2, RunPlane(YuvScaler::ScalePlaneDown2, src, 9, 7, 4, 3, interp));
    const Plane down4 = interp ? RefArea(src, 9, 7, 2, 1) : RefNearest(src, 9, 7, 2, 1);
    EXPECT_EQ(down4, RunPlane(YuvScaler::ScalePlaneDown4, src, 9, 7, 2, 1, interp));
  }
}

TEST(YuvScaler, CopyPlaneStopsAtTheDestinationEnd) {
  const Plane src = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  EXPECT_EQ(Plane({1, 2, 3, 4, 5, 6}), WriteGuarded(Plane(6, 0), [&](uint8_t* d) {
              YuvScaler::CopyPlane(4, 3, 3, 2, src.data(), d);
            }));
  EXPECT_EQ(Plane({1, 2, 3, 4, 5, 6, 0, 0}), WriteGuarded(Plane(8, 0), [&](uint8_t* d) {
              YuvScaler::CopyPlane(3, 2, 4, 2, src.data(), d);
            }));
}

TEST(YuvScaler, Up4StoresToAnUnalignedDestination) {
  // Word stores at odd addresses must not be undefined behaviour.
  const Plane src = {1, 2, 3, 4, 5, 6};
  Plane buffer(1 + 24 * 8, 0);
  YuvScaler::ScalePlaneUp4(6, 1, 24, 4, src.data(), buffer.data() + 1, true);
  EXPECT_EQ(RefReplicate(src, 6, 1, 4), Plane(buffer.begin() + 1, buffer.begin() + 1 + 96));
}

}  // namespace
