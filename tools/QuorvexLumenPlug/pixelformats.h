// The pixel formats in which publish hands the camera's frames to other
// programs, and the conversions from the camera's own layout into them.
//
// The camera delivers planar 4:2:0 in the shared area's layout: W*H luma
// bytes, then Cb and Cr planes of (W/2) x (H/2) bytes, the divisions
// rounding down, no padding. The published layouts are the common ones
// (what GStreamer, libyuv and browsers read for these names), tightly
// packed in one block:
//   I420  luma W x H, then Cb and Cr of ceil(W/2) x ceil(H/2)
//   NV12  luma W x H, then one plane of ceil(H/2) rows of interleaved Cb,Cr
//         pairs, 2*ceil(W/2) bytes a row
//   YUY2  H rows of ceil(W/2) pairs Y0 Cb Y1 Cr, 4*ceil(W/2) bytes a row
// For even sizes I420 is the camera's layout byte for byte. For odd sizes
// the last chroma column or row, which the camera's layout lacks, repeats
// its neighbour; a frame too narrow or too short for any chroma sample gets
// neutral chroma (128).
//
// Threading: pure functions; any thread.
#ifndef TOOLS_QUORVEXLUMENPLUG_PIXELFORMATS_H_
#define TOOLS_QUORVEXLUMENPLUG_PIXELFORMATS_H_

#include <stddef.h>
#include <stdint.h>

namespace lumenplug {

enum class PixelFormat { kI420, kNV12, kYUY2 };

// "I420", "NV12", "YUY2".
const char* PixelFormatName(PixelFormat format);

// Bytes of one width x height frame in `format`'s layout above.
size_t PublishedFrameBytes(PixelFormat format, uint32_t width, uint32_t height);
// Bytes from the start of one row of the first plane to the next.
uint32_t PublishedStride(PixelFormat format, uint32_t width);

// Converts a width x height frame in the camera's layout (`planar`, which
// holds PlanarFrameBytes(width, height) bytes) into `format`'s layout in
// `out`, which holds PublishedFrameBytes(format, width, height) bytes.
void ConvertFromCamera(const uint8_t* planar, uint32_t width, uint32_t height, PixelFormat format,
                       uint8_t* out);

}  // namespace lumenplug

#endif  // TOOLS_QUORVEXLUMENPLUG_PIXELFORMATS_H_
