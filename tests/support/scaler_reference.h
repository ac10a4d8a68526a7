// Plain references for the scaler, straight from the integer formulas, 64-bit
// throughout and with no attempt at speed: what every path of YuvScaler must
// match byte for byte. Shared by the scaler's tests and the camera's fuzz
// target.
#ifndef TESTS_SUPPORT_SCALER_REFERENCE_H_
#define TESTS_SUPPORT_SCALER_REFERENCE_H_

#include <stdint.h>

#include <algorithm>
#include <vector>

namespace scaler_reference {

using Plane = std::vector<uint8_t>;

// One destination sample of the area average: formula weights (a footprint
// within one column or row uses the first weight), S and W summed as
// written in `Sum`, (S + W/2) / W.
template <typename Sum = uint64_t>
inline uint8_t AreaSample(const uint8_t* src, int64_t sw, int64_t sh, int64_t dw, int64_t dh,
                          int64_t x, int64_t y) {
  const int64_t c0 = x * sw / dw, c1 = ((x + 1) * sw + dw - 1) / dw;
  const int64_t r0 = y * sh / dh, r1 = ((y + 1) * sh + dh - 1) / dh;
  Sum s = 0, w = 0;
  for (int64_t r = r0; r < r1; ++r) {
    const int64_t wr = r == r0       ? dh - (y * sh) % dh
                       : r == r1 - 1 ? ((y + 1) * sh - 1) % dh + 1
                                     : dh;
    for (int64_t c = c0; c < c1; ++c) {
      const int64_t wc = c == c0       ? dw - (x * sw) % dw
                         : c == c1 - 1 ? ((x + 1) * sw - 1) % dw + 1
                                       : dw;
      s += Sum(wr * wc) * src[r * sw + c];
      w += Sum(wr * wc);
    }
  }
  return uint8_t((s + w / 2) / w);
}

inline Plane RefArea(const Plane& src, int64_t sw, int64_t sh, int64_t dw, int64_t dh) {
  Plane out(dw * dh);
  for (int64_t y = 0; y < dh; ++y)
    for (int64_t x = 0; x < dw; ++x) out[y * dw + x] = AreaSample(src.data(), sw, sh, dw, dh, x, y);
  return out;
}

inline Plane RefNearest(const Plane& src, int64_t sw, int64_t sh, int64_t dw, int64_t dh) {
  Plane out(dw * dh);
  for (int64_t y = 0; y < dh; ++y)
    for (int64_t x = 0; x < dw; ++x) out[y * dw + x] = src[(y * sh / dh) * sw + x * sw / dw];
  return out;
}

// Each source sample copied into a factor x factor block.
inline Plane RefReplicate(const Plane& src, int64_t sw, int64_t sh, int factor) {
  Plane out(sw * sh * factor * factor);
  for (int64_t y = 0; y < sh * factor; ++y)
    for (int64_t x = 0; x < sw * factor; ++x)
      out[y * sw * factor + x] = src[(y / factor) * sw + x / factor];
  return out;
}

// Down2 / Down4: the block's sum shifted right (no rounding), or its
// top-left sample.
inline Plane RefDownN(const Plane& src, int64_t sw, int64_t dw, int64_t dh, int n,
                      bool interpolate) {
  Plane out(dw * dh);
  for (int64_t y = 0; y < dh; ++y)
    for (int64_t x = 0; x < dw; ++x) {
      unsigned sum = 0;
      for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) sum += src[(n * y + i) * sw + n * x + j];
      out[y * dw + x] = interpolate ? uint8_t(sum >> (n == 2 ? 2 : 4)) : src[n * y * sw + n * x];
    }
  return out;
}

// The dispatch of ScalePlane.
inline Plane RefScalePlane(const Plane& src, int64_t sw, int64_t sh, int64_t dw, int64_t dh) {
  if (dw == sw && dh == sh) return src;
  if (dw > sw && dh > sh) {
    if (dw == 2 * sw && dh == 2 * sh) return RefReplicate(src, sw, sh, 2);
    if (dw == 4 * sw && dh == 4 * sh) return RefReplicate(src, sw, sh, 4);
    return RefNearest(src, sw, sh, dw, dh);
  }
  return RefArea(src, sw, sh, dw, dh);
}

// Scale on whole images: each plane scaled and pasted at its place.
inline void RefScale(const Plane& src, int64_t sw, int64_t sh, Plane* dst, int64_t dw, int64_t dh,
                     int64_t off) {
  struct Part {
    int64_t src_at, sw, sh, dst_at, dw, dh;
  };
  const int64_t ih = dh - 2 * off, sc = (sw >> 1) * (sh >> 1), dc = (dw >> 1) * (dh >> 1);
  const int64_t skip = (off >> 1) * (dw >> 1);
  const Part parts[3] = {{0, sw, sh, off * dw, dw, ih},
                         {sw * sh, sw >> 1, sh >> 1, dw * dh + skip, dw >> 1, ih >> 1},
                         {sw * sh + sc, sw >> 1, sh >> 1, dw * dh + dc + skip, dw >> 1, ih >> 1}};
  for (const Part& p : parts) {
    if (p.sw == 0 || p.sh == 0 || p.dw == 0 || p.dh == 0) continue;
    const Plane in(src.begin() + p.src_at, src.begin() + p.src_at + p.sw * p.sh);
    const Plane out = RefScalePlane(in, p.sw, p.sh, p.dw, p.dh);
    std::copy(out.begin(), out.end(), dst->begin() + p.dst_at);
  }
}

}  // namespace scaler_reference

#endif  // TESTS_SUPPORT_SCALER_REFERENCE_H_
