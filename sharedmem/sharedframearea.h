// The bytes of the shared segment through which the producer process (the
// agent, QuorvexLumenPlug) hands frames to the camera component: a 256-byte
// header followed by room for one planar 8-bit 4:2:0 frame of at most
// 460,800 bytes (640 x 480). Both sides include this header, so it is the
// single place where the layout, the sizes and the device name are written
// down; it belongs to the transport (tessel), whose naming rule turns the
// device name into the names of the system objects.
//
// Frame layout in `frameData` for W x H pixels, without padding: the luma
// plane (H rows of W bytes), then two chroma planes of H/2 rows of W/2 bytes
// each, the divisions rounding down. The first chroma plane is Cb, the
// second Cr.
//
// Header rules: `frameSize` 0 means "no picture". The producer changes
// `frameCounter` for every new frame; a reader takes a frame when the counter
// differs from the last one it took. The reserved words belong to the
// producer; the component never reads them.
//
// Threading: plain data and constant functions. The segment's bytes are
// guarded by the named mutex of the same device name (tessel::Mutex): the
// producer writes and every reader reads them only while holding it.
#ifndef SHAREDMEM_SHAREDFRAMEAREA_H_
#define SHAREDMEM_SHAREDFRAMEAREA_H_

#include <stddef.h>
#include <stdint.h>

namespace tessel {

// The camera's device name: the one place that defines it. The named mutex,
// the segment's key file and its key derive from it by the naming rule of
// sharedmem/sharedmem.h (SemaphoreName, KeyFilePath, SegmentKey).
inline constexpr char kDeviceName[] = "Quorvex Camera Adapter 0";

inline constexpr size_t kFrameHeaderBytes = 256;
inline constexpr size_t kFrameDataBytes = 460800;  // one 640 x 480 frame
inline constexpr size_t kSharedFrameAreaBytes = kFrameHeaderBytes + kFrameDataBytes;  // 0x70900

// Bytes of a planar 4:2:0 frame of width x height as the area lays it out:
// W*H + 2*(W/2)*(H/2). 64-bit, so that no 32-bit width and height overflow.
constexpr uint64_t PlanarFrameBytes(uint64_t width, uint64_t height) {
  return width * height + 2 * (width / 2) * (height / 2);
}

// The segment's layout. Overlay it on the segment's address; never build one
// on the stack (it is 461,056 bytes). All fields in native byte order.
struct SharedFrameArea {
  uint32_t frameSize;     // bytes of frame data; 0: no picture
  uint32_t width;         // luma samples per row
  uint32_t height;        // luma rows
  uint32_t reserved0;     // the producer's
  uint32_t frameCounter;  // changed by the producer for every frame
  uint32_t reserved[59];  // the producer's
  uint8_t frameData[kFrameDataBytes];
};

static_assert(offsetof(SharedFrameArea, frameSize) == 0);
static_assert(offsetof(SharedFrameArea, width) == 4);
static_assert(offsetof(SharedFrameArea, height) == 8);
static_assert(offsetof(SharedFrameArea, reserved0) == 12);
static_assert(offsetof(SharedFrameArea, frameCounter) == 16);
static_assert(offsetof(SharedFrameArea, reserved) == 20);
static_assert(offsetof(SharedFrameArea, frameData) == kFrameHeaderBytes);
static_assert(sizeof(SharedFrameArea) == kSharedFrameAreaBytes);
static_assert(kSharedFrameAreaBytes == 0x70900);
static_assert(PlanarFrameBytes(640, 480) == kFrameDataBytes);
static_assert(PlanarFrameBytes(320, 240) == 115200);
static_assert(PlanarFrameBytes(0xFFFFFFFFu, 0xFFFFFFFFu) > kFrameDataBytes, "no 32-bit wrap");

// True when the header describes a frame that lies wholly inside the data
// area: a picture is present, both sides are non-zero (the scaler divides by
// them), `frameSize` does not exceed the area, and the planes that width and
// height imply fit in it. A reader that takes a frame only when this holds
// never reads past the segment, whatever a faulty producer wrote.
constexpr bool FrameFits(uint32_t frame_size, uint32_t width, uint32_t height) {
  if (frame_size == 0 || width == 0 || height == 0) return false;
  if (frame_size > kFrameDataBytes) return false;
  return PlanarFrameBytes(width, height) <= kFrameDataBytes;
}

inline bool FrameFits(const SharedFrameArea& area) {
  return FrameFits(area.frameSize, area.width, area.height);
}

static_assert(FrameFits(115200, 320, 240));
static_assert(FrameFits(460800, 640, 480));
static_assert(!FrameFits(0, 320, 240));
static_assert(!FrameFits(115200, 0, 240));
static_assert(!FrameFits(460801, 640, 480));
static_assert(!FrameFits(1000, 642, 480));

}  // namespace tessel

#endif  // SHAREDMEM_SHAREDFRAMEAREA_H_
