#include "tools/QuorvexLumenPlug/png.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <array>

namespace lumenplug {

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr size_t kMaxStoredBlock = 65535;  // LEN of a stored deflate block is 16 bits
constexpr uint32_t kAdlerModulus = 65521;

std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

void PutBigEndian(std::vector<uint8_t>* out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<uint8_t>(value >> shift));
}

void PutChunk(std::vector<uint8_t>* out, const char type[4], const std::vector<uint8_t>& data) {
  PutBigEndian(out, static_cast<uint32_t>(data.size()));
  const size_t type_at = out->size();
  out->insert(out->end(), type, type + 4);
  out->insert(out->end(), data.begin(), data.end());
  // The CRC covers the type and the data, not the length.
  PutBigEndian(out, Crc32(out->data() + type_at, out->size() - type_at));
}

uint8_t Clamp(int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

// A zlib stream (RFC 1950) holding `raw` in stored deflate blocks (RFC 1951,
// BTYPE 00).
std::vector<uint8_t> StoredZlib(const std::vector<uint8_t>& raw) {
  std::vector<uint8_t> out;
  out.reserve(raw.size() + raw.size() / kMaxStoredBlock * 5 + 16);
  // CMF 0x78: deflate with a 32 KiB window; FLG 0x01: no dictionary, lowest
  // level, and (0x78 << 8 | 0x01) is a multiple of 31 as the check needs.
  out.push_back(0x78);
  out.push_back(0x01);
  size_t at = 0;
  do {
    const size_t length = std::min(kMaxStoredBlock, raw.size() - at);
    const bool last = at + length == raw.size();
    out.push_back(last ? 1 : 0);  // BFINAL, BTYPE 00; the rest of the byte is padding
    out.push_back(static_cast<uint8_t>(length));
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.push_back(static_cast<uint8_t>(~length));
    out.push_back(static_cast<uint8_t>(~length >> 8));
    out.insert(out.end(), raw.begin() + at, raw.begin() + at + length);
    at += length;
  } while (at < raw.size());
  PutBigEndian(&out, Adler32(raw.data(), raw.size()));
  return out;
}

}  // namespace

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc) {
  static const std::array<uint32_t, 256> table = MakeCrcTable();
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

uint32_t Adler32(const uint8_t* data, size_t size, uint32_t adler) {
  uint32_t a = adler & 0xFFFF;
  uint32_t b = adler >> 16;
  while (size > 0) {
    // 5552 bytes is the most that can be summed before b could overflow.
    const size_t run = std::min<size_t>(size, 5552);
    for (size_t i = 0; i < run; ++i) {
      a += data[i];
      b += a;
    }
    a %= kAdlerModulus;
    b %= kAdlerModulus;
    data += run;
    size -= run;
  }
  return (b << 16) | a;
}

std::vector<uint8_t> Yuv420ToRgb(const uint8_t* planar, uint32_t width, uint32_t height) {
  const size_t chroma_width = width / 2;
  const size_t chroma_height = height / 2;
  const uint8_t* luma = planar;
  const uint8_t* cb = planar + static_cast<size_t>(width) * height;
  const uint8_t* cr = cb + chroma_width * chroma_height;
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  for (size_t y = 0; y < height; ++y) {
    const size_t cy = chroma_height == 0 ? 0 : std::min(y / 2, chroma_height - 1);
    for (size_t x = 0; x < width; ++x) {
      const size_t cx = chroma_width == 0 ? 0 : std::min(x / 2, chroma_width - 1);
      const bool has_chroma = chroma_width > 0 && chroma_height > 0;
      const int c = luma[y * width + x] - 16;
      const int d = has_chroma ? cb[cy * chroma_width + cx] - 128 : 0;
      const int e = has_chroma ? cr[cy * chroma_width + cx] - 128 : 0;
      uint8_t* pixel = &rgb[(y * width + x) * 3];
      pixel[0] = Clamp((298 * c + 409 * e + 128) >> 8);
      pixel[1] = Clamp((298 * c - 100 * d - 208 * e + 128) >> 8);
      pixel[2] = Clamp((298 * c + 516 * d + 128) >> 8);
    }
  }
  return rgb;
}

std::vector<uint8_t> EncodePng(const uint8_t* rgb, uint32_t width, uint32_t height) {
  std::vector<uint8_t> header;
  PutBigEndian(&header, width);
  PutBigEndian(&header, height);
  // Bit depth 8, colour type 2 (RGB), deflate, adaptive filtering, no interlace.
  header.insert(header.end(), {8, 2, 0, 0, 0});

  // Every scanline starts with its filter type, 0 (none).
  const size_t row_bytes = static_cast<size_t>(width) * 3;
  std::vector<uint8_t> raw;
  raw.reserve((row_bytes + 1) * height);
  for (size_t y = 0; y < height; ++y) {
    raw.push_back(0);
    raw.insert(raw.end(), rgb + y * row_bytes, rgb + (y + 1) * row_bytes);
  }

  std::vector<uint8_t> png(std::begin(kSignature), std::end(kSignature));
  PutChunk(&png, "IHDR", header);
  PutChunk(&png, "IDAT", StoredZlib(raw));
  PutChunk(&png, "IEND", {});
  return png;
}

bool WritePngFile(const std::string& path, const uint8_t* rgb, uint32_t width, uint32_t height,
                  std::string* error) {
  const std::vector<uint8_t> png = EncodePng(rgb, width, height);
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) {
    *error = "cannot create " + path + ": " + strerror(errno);
    return false;
  }
  const bool written = fwrite(png.data(), 1, png.size(), file) == png.size();
  const int saved = errno;
  if (fclose(file) != 0 || !written) {
    *error = "cannot write " + path + ": " + strerror(written ? errno : saved);
    remove(path.c_str());
    return false;
  }
  return true;
}

}  // namespace lumenplug
