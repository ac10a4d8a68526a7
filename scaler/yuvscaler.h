// YuvScaler resizes 8-bit image planes, and whole planar 4:2:0 images (a
// luma plane of w x h samples followed by two chroma planes of
// (w >> 1) x (h >> 1) samples each), between arbitrary sizes.  A plane is
// stored row after row with no gaps: its stride is its width.
//
// The class has no data and no instances.  Every member is a pure function
// of its arguments: it keeps no state, allocates nothing (its tables live
// on the stack, under 40 KB) and may be called from any number of threads
// at once, as long as no call writes bytes that another call reads or
// writes.  Source and destination must not overlap.
//
// Results are bit-exact: each method is defined by integer formulas (below)
// and the optimised code paths produce exactly the bytes those formulas give
// when evaluated with unbounded integers, for every size.
//
// Sizes are `long` values in 1 .. 2^31 - 1.  A call whose source or
// destination is empty (a zero or negative size), whose size lies beyond
// that range, or whose plane pointer is null writes nothing and reads
// nothing.  Within those limits the members trust the caller for the rest:
// buffers must hold the planes their sizes describe.
#ifndef SCALER_YUVSCALER_H_
#define SCALER_YUVSCALER_H_

#include <stdint.h>

class YuvScaler {
 public:
  YuvScaler() = delete;

  // Scales the 4:2:0 image `src` (sw x sh) into the 4:2:0 image `dst`
  // (dw x dh), plane by plane through ScalePlane, each with `interpolate`.
  //
  // Letterboxing: the first `letterbox_offset` luma rows of `dst` and as
  // many at the bottom are not written; the scaled luma plane fills the
  // dh - 2 * letterbox_offset rows in between.  In each chroma plane the
  // image is (dh - 2 * letterbox_offset) >> 1 rows high and starts at row
  // letterbox_offset >> 1.  The chroma planes stay where a full dw x dh image
  // puts them.  Bytes not written keep whatever they held.
  //
  // `src` must hold sw*sh + 2*(sw>>1)*(sh>>1) bytes and `dst`
  // dw*dh + 2*(dw>>1)*(dh>>1) bytes.  A negative offset counts as 0.  When
  // 2 * letterbox_offset >= dh there is no room for the image and nothing
  // is written.  A chroma plane that is empty on either side (a width or
  // height of 1 halves to 0) is left alone.
  static void Scale(const uint8_t* src, long sw, long sh, uint8_t* dst, long dw, long dh,
                    long letterbox_offset, bool interpolate);

  // Scales one plane, choosing the method by the sizes alone (`interpolate`
  // changes nothing here), first matching rule:
  //   equal sizes                          -> CopyPlane
  //   both larger, exactly twice           -> ScalePlaneUp2
  //   both larger, exactly four times      -> ScalePlaneUp4
  //   both larger, any other ratio         -> ScalePlaneUp (nearest sample)
  //   otherwise (a dimension shrinks, or one grows while the other stays)
  //                                        -> ScalePlaneSlow (area average)
  static void ScalePlane(const uint8_t* src, long sw, long sh, uint8_t* dst, long dw, long dh,
                         bool interpolate);

  // Copies sw*sh bytes.  The destination sizes only bound the copy: when
  // dw*dh is smaller, only the first dw*dh bytes are copied, so a mismatched
  // call cannot run past the destination plane.
  static void CopyPlane(long sw, long sh, long dw, long dh, const uint8_t* src, uint8_t* dst);

  // Replicates each source sample into a 2 x 2 block.  Expects dw = 2*sw and
  // dh = 2*sh; for any other sizes it picks nearest samples as ScalePlaneUp
  // does (which gives the same bytes at the exact ratio), so it never writes
  // outside dw x dh.  `interpolate` is ignored.
  static void ScalePlaneUp2(long sw, long sh, long dw, long dh, const uint8_t* src, uint8_t* dst,
                            bool interpolate);

  // Replicates each source sample into a 4 x 4 block (each block row is one
  // 32-bit word with the sample in all four bytes).  Expects dw = 4*sw and
  // dh = 4*sh; other sizes fall back to ScalePlaneUp as for ScalePlaneUp2.
  // `interpolate` is ignored.
  static void ScalePlaneUp4(long sw, long sh, long dw, long dh, const uint8_t* src, uint8_t* dst,
                            bool interpolate);

  // Nearest sample: destination (x, y) = source (floor(x*sw/dw),
  // floor(y*sh/dh)).  Works for any ratio, also for reductions; the products
  // are formed in 64 bits so they cannot overflow.  `interpolate` is ignored.
  static void ScalePlaneUp(long sw, long sh, long dw, long dh, const uint8_t* src, uint8_t* dst,
                           bool interpolate);

  // Halves both dimensions (expects sw = 2*dw and sh = 2*dh).  With
  // `interpolate` a destination sample is the sum of its 2 x 2 source block
  // shifted right by 2 (truncated, not rounded); without, it is the block's
  // top-left sample.  Other sizes fall back to ScalePlaneDown with the same
  // flag, so the call stays inside both planes.
  static void ScalePlaneDown2(long sw, long sh, long dw, long dh, const uint8_t* src, uint8_t* dst,
                              bool interpolate);

  // Quarters both dimensions (expects sw = 4*dw and sh = 4*dh): the sum of
  // the 4 x 4 block shifted right by 4, or its top-left sample without
  // `interpolate`.  Other sizes fall back to ScalePlaneDown.
  static void ScalePlaneDown4(long sw, long sh, long dw, long dh, const uint8_t* src, uint8_t* dst,
                              bool interpolate);

  // Any ratio: ScalePlaneSlow with `interpolate`, ScalePlaneUp without.
  static void ScalePlaneDown(long sw, long sh, long dw, long dh, const uint8_t* src, uint8_t* dst,
                             bool interpolate);

  // Area average, any ratio in either direction.  With each source sample
  // dw units wide and dh high, destination (x, y) covers the footprint
  // [x*sw, (x+1)*sw) x [y*sh, (y+1)*sh); every source sample it touches is
  // weighted by its overlap (the first and last column or row of the
  // footprint by the partial overlap, those between by dw or dh; a
  // footprint within one column or row uses that one weight, which cancels
  // out).  The result is (S + W/2) / W for the weighted sum S and the total
  // weight W, i.e. the mean rounded to nearest with halves going up.  The
  // sums are wide enough for any plane that fits in memory.
  static void ScalePlaneSlow(long sw, long sh, long dw, long dh, const uint8_t* src, uint8_t* dst);
};

#endif  // SCALER_YUVSCALER_H_
