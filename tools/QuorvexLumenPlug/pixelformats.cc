#include "tools/QuorvexLumenPlug/pixelformats.h"

#include <string.h>

#include "tools/QuorvexLumenPlug/y4m.h"

namespace lumenplug {

namespace {

constexpr uint8_t kNeutralChroma = 128;

uint32_t Half(uint32_t side) { return side / 2; }
uint32_t HalfUp(uint32_t side) { return side / 2 + side % 2; }

// The camera's chroma planes, and the rule that maps a chroma position of
// the published layout (ceil-sized) onto them (floor-sized).
class CameraChroma {
 public:
  CameraChroma(const uint8_t* planar, uint32_t width, uint32_t height)
      : cb_(planar + static_cast<size_t>(width) * height),
        cr_(cb_ + static_cast<size_t>(Half(width)) * Half(height)),
        width_(Half(width)),
        height_(Half(height)) {}

  bool empty() const { return width_ == 0 || height_ == 0; }
  // The sample at column x, row y of the published chroma grid, the last
  // column and row of the camera's grid standing in for those it lacks.
  uint8_t Cb(uint32_t x, uint32_t y) const { return empty() ? kNeutralChroma : cb_[Index(x, y)]; }
  uint8_t Cr(uint32_t x, uint32_t y) const { return empty() ? kNeutralChroma : cr_[Index(x, y)]; }

 private:
  size_t Index(uint32_t x, uint32_t y) const {
    if (x >= width_) x = width_ - 1;
    if (y >= height_) y = height_ - 1;
    return static_cast<size_t>(y) * width_ + x;
  }

  const uint8_t* cb_;
  const uint8_t* cr_;
  uint32_t width_;
  uint32_t height_;
};

void ToNV12(const uint8_t* planar, uint32_t width, uint32_t height, uint8_t* out) {
  const size_t luma = static_cast<size_t>(width) * height;
  memcpy(out, planar, luma);
  const CameraChroma chroma(planar, width, height);
  uint8_t* pairs = out + luma;
  for (uint32_t y = 0; y < HalfUp(height); ++y) {
    for (uint32_t x = 0; x < HalfUp(width); ++x) {
      *pairs++ = chroma.Cb(x, y);
      *pairs++ = chroma.Cr(x, y);
    }
  }
}

// Each chroma sample serves the two rows and two columns it covers; an odd
// last column repeats its luma sample in the pair's second place.
void ToYUY2(const uint8_t* planar, uint32_t width, uint32_t height, uint8_t* out) {
  const CameraChroma chroma(planar, width, height);
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* row = planar + static_cast<size_t>(y) * width;
    for (uint32_t x = 0; x < width; x += 2) {
      *out++ = row[x];
      *out++ = chroma.Cb(x / 2, y / 2);
      *out++ = x + 1 < width ? row[x + 1] : row[x];
      *out++ = chroma.Cr(x / 2, y / 2);
    }
  }
}

}  // namespace

const char* PixelFormatName(PixelFormat format) {
  switch (format) {
    case PixelFormat::kI420:
      return "I420";
    case PixelFormat::kNV12:
      return "NV12";
    case PixelFormat::kYUY2:
      return "YUY2";
  }
  return "?";
}

size_t PublishedFrameBytes(PixelFormat format, uint32_t width, uint32_t height) {
  if (format == PixelFormat::kYUY2)
    return static_cast<size_t>(PublishedStride(format, width)) * height;
  return static_cast<size_t>(width) * height +
         2 * static_cast<size_t>(HalfUp(width)) * HalfUp(height);
}

uint32_t PublishedStride(PixelFormat format, uint32_t width) {
  return format == PixelFormat::kYUY2 ? 4 * HalfUp(width) : width;
}

void ConvertFromCamera(const uint8_t* planar, uint32_t width, uint32_t height, PixelFormat format,
                       uint8_t* out) {
  switch (format) {
    case PixelFormat::kI420:
      // I420 is the YUV4MPEG2 layout of 4:2:0.
      return SharedToY4mLayout(planar, width, height, out);
    case PixelFormat::kNV12:
      return ToNV12(planar, width, height, out);
    case PixelFormat::kYUY2:
      return ToYUY2(planar, width, height, out);
  }
}

}  // namespace lumenplug
