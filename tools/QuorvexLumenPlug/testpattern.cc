#include "tools/QuorvexLumenPlug/testpattern.h"

#include <algorithm>
#include <string>

namespace lumenplug {

namespace {

// 75% colour bars in BT.601 limited range: white, yellow, cyan, green,
// magenta, red, blue, black.
constexpr uint8_t kBars[8][3] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                                 {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128}};

// Segments of each digit: bit 0 top, 1 top right, 2 bottom right, 3 bottom,
// 4 bottom left, 5 top left, 6 middle.
constexpr uint8_t kSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};

}  // namespace

uint32_t TestPattern::BoxSide() const { return std::max(1u, std::min(width_, height_) / 8); }

uint32_t TestPattern::BoxLeft(uint64_t number) const {
  const uint64_t travel = width_ - std::min(width_, BoxSide());
  if (travel == 0) return 0;
  // Out in `steps` frames and back in as many; the last step out stops at
  // the edge, so that the box never stands still for a frame.
  const uint64_t steps = (travel + kBoxStepPixels - 1) / kBoxStepPixels;
  const uint64_t phase = number % (2 * steps);
  const uint64_t from_start = phase <= steps ? phase : 2 * steps - phase;
  return static_cast<uint32_t>(std::min(travel, from_start * kBoxStepPixels));
}

void TestPattern::FillRect(uint8_t* out, int64_t left, int64_t top, int64_t right, int64_t bottom,
                           Colour colour) const {
  left = std::max<int64_t>(left, 0);
  top = std::max<int64_t>(top, 0);
  right = std::min<int64_t>(right, width_);
  bottom = std::min<int64_t>(bottom, height_);
  if (left >= right || top >= bottom) return;
  for (int64_t y = top; y < bottom; ++y) {
    std::fill(out + y * width_ + left, out + y * width_ + right, colour.y);
  }
  // A chroma sample covers the 2 x 2 pixels from (2cx, 2cy); it takes the
  // colour when its first pixel is inside the rectangle.
  const int64_t chroma_width = width_ / 2;
  const int64_t chroma_height = height_ / 2;
  uint8_t* cb = out + static_cast<size_t>(width_) * height_;
  uint8_t* cr = cb + chroma_width * chroma_height;
  const int64_t first_x = (left + 1) / 2;
  const int64_t end_x = std::min(chroma_width, (right + 1) / 2);
  for (int64_t cy = (top + 1) / 2; cy < std::min(chroma_height, (bottom + 1) / 2); ++cy) {
    for (int64_t cx = first_x; cx < end_x; ++cx) {
      cb[cy * chroma_width + cx] = colour.cb;
      cr[cy * chroma_width + cx] = colour.cr;
    }
  }
}

void TestPattern::DrawDigit(uint8_t* out, int digit, int64_t left, int64_t top, int64_t height,
                            Colour colour) const {
  const int64_t width = height / 2;
  const int64_t stroke = std::max<int64_t>(1, height / 10);
  const int64_t middle = top + (height - stroke) / 2;
  const int64_t bottom = top + height;
  const int64_t right = left + width;
  const uint8_t on = kSegments[digit];
  if (on & 0x01) FillRect(out, left, top, right, top + stroke, colour);
  if (on & 0x02) FillRect(out, right - stroke, top, right, middle + stroke, colour);
  if (on & 0x04) FillRect(out, right - stroke, middle, right, bottom, colour);
  if (on & 0x08) FillRect(out, left, bottom - stroke, right, bottom, colour);
  if (on & 0x10) FillRect(out, left, middle, left + stroke, bottom, colour);
  if (on & 0x20) FillRect(out, left, top, left + stroke, middle + stroke, colour);
  if (on & 0x40) FillRect(out, left, middle, right, middle + stroke, colour);
}

void TestPattern::DrawNumber(uint8_t* out, uint64_t number) const {
  const std::string digits = std::to_string(number);
  const int64_t count = static_cast<int64_t>(digits.size());
  // A third of the height, narrowed when the digits (half as wide as high,
  // a quarter of the height apart, with that margin around them) would take
  // more than 90% of the width.
  const int64_t fit = static_cast<int64_t>(width_) * 36 / (10 * (3 * count + 1));
  const int64_t digit_height = std::min<int64_t>(height_ / 3, fit);
  if (digit_height < 5) return;  // too small to read
  const int64_t gap = digit_height / 4;
  const int64_t digit_width = digit_height / 2;
  const int64_t total = count * digit_width + (count - 1) * gap;
  const int64_t left = (static_cast<int64_t>(width_) - total) / 2;
  const int64_t top = static_cast<int64_t>(height_) / 6;
  const int64_t margin = gap;
  FillRect(out, left - margin, top - margin, left + total + margin, top + digit_height + margin,
           {16, 128, 128});
  for (int64_t i = 0; i < count; ++i) {
    DrawDigit(out, digits[i] - '0', left + i * (digit_width + gap), top, digit_height,
              {235, 128, 128});
  }
}

void TestPattern::DrawBars(uint8_t* out) const {
  const uint32_t chroma_width = width_ / 2;
  const uint32_t chroma_height = height_ / 2;
  uint8_t* cb = out + static_cast<size_t>(width_) * height_;
  uint8_t* cr = cb + static_cast<size_t>(chroma_width) * chroma_height;
  for (uint32_t x = 0; x < width_; ++x) out[x] = kBars[x * uint64_t{8} / width_][0];
  for (uint32_t y = 1; y < height_; ++y) std::copy(out, out + width_, out + y * size_t{width_});
  if (chroma_width == 0 || chroma_height == 0) return;  // one pixel wide or high: no chroma
  for (uint32_t cx = 0; cx < chroma_width; ++cx) {
    const uint64_t bar = 2 * cx * uint64_t{8} / width_;  // the bar of the sample's first pixel
    cb[cx] = kBars[bar][1];
    cr[cx] = kBars[bar][2];
  }
  for (uint32_t cy = 1; cy < chroma_height; ++cy) {
    std::copy(cb, cb + chroma_width, cb + cy * size_t{chroma_width});
    std::copy(cr, cr + chroma_width, cr + cy * size_t{chroma_width});
  }
}

void TestPattern::Render(uint64_t number, uint8_t* out) const {
  // The bars fill the picture; the bottom quarter is a dark strip in which
  // the box runs.
  DrawBars(out);
  const uint32_t strip_top = height_ - height_ / 4;
  FillRect(out, 0, strip_top, width_, height_, {40, 128, 128});
  const uint32_t side = BoxSide();
  const int64_t box_top = strip_top + (static_cast<int64_t>(height_ - strip_top) - side) / 2;
  const int64_t box_left = BoxLeft(number);
  FillRect(out, box_left, box_top, box_left + side, box_top + side, {200, 60, 200});
  DrawNumber(out, number);
}

}  // namespace lumenplug
