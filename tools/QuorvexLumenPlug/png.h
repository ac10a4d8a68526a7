// Still pictures for the capturing application's snapshot: planar 4:2:0 to
// RGB, and a minimal PNG encoder (8-bit RGB, no interlacing) that stores the
// pixels in uncompressed deflate blocks, so it needs no compression library.
// The files are a little larger than a compressing encoder's and every
// reader takes them.
//
// Threading: pure functions; any thread.
#ifndef TOOLS_QUORVEXLUMENPLUG_PNG_H_
#define TOOLS_QUORVEXLUMENPLUG_PNG_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace lumenplug {

// CRC-32 as PNG chunks and zip use it (reflected polynomial 0xEDB88320),
// continued from `crc` (0 to start).
uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0);

// Adler-32 as zlib streams end with it, continued from `adler` (1 to start).
uint32_t Adler32(const uint8_t* data, size_t size, uint32_t adler = 1);

// Converts a frame in the shared area's layout (luma, Cb, Cr; chroma planes
// floor(W/2) x floor(H/2)) to packed RGB, 3 bytes per pixel, row by row,
// with the integer BT.601 limited-range matrix. Pixels of an odd last row or
// column, which have no chroma sample of their own, use their neighbour's.
std::vector<uint8_t> Yuv420ToRgb(const uint8_t* planar, uint32_t width, uint32_t height);

// A complete PNG file of `rgb` (width x height x 3 bytes).
std::vector<uint8_t> EncodePng(const uint8_t* rgb, uint32_t width, uint32_t height);

// Writes EncodePng's bytes to `path`. False, with the reason, when the file
// cannot be written; a partly written file is removed.
bool WritePngFile(const std::string& path, const uint8_t* rgb, uint32_t width, uint32_t height,
                  std::string* error);

}  // namespace lumenplug

#endif  // TOOLS_QUORVEXLUMENPLUG_PNG_H_
