// The agent's media pieces on their own: the YUV4MPEG2 reader and writer,
// the PNG encoder with its checksums and colour conversion, the test
// pattern and the option parsers. Files the writers produce are also handed
// to Debian's ffprobe/ffmpeg, when installed, as independent readers.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sharedmem/sharedframearea.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tools/QuorvexLumenPlug/options.h"
#include "tools/QuorvexLumenPlug/png.h"
#include "tools/QuorvexLumenPlug/testpattern.h"
#include "tools/QuorvexLumenPlug/y4m.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using lumenplug::Y4mReader;

// A folder of its own for each test, removed at the end.
class TempFolder : public quorvex_test::TempFolder {
 public:
  TempFolder() : quorvex_test::TempFolder("lumenplug_media_test") {}
};

using quorvex_test::HaveProgram;
using quorvex_test::ReadFile;
using quorvex_test::WriteFile;

// Runs a shell command and returns what it wrote to standard output.
std::string Output(const std::string& command, int* status) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof(chunk), pipe)) > 0) out.append(chunk, got);
  const int result = pclose(pipe);
  *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
  return out;
}

// Frame `index` of a w x h y4m stream (ceil chroma), every byte different
// from the frame before.
std::string Y4mPlanes(uint32_t w, uint32_t h, int index) {
  std::string planes(lumenplug::Y4mFrameBytes(w, h), '\0');
  for (size_t i = 0; i < planes.size(); ++i) planes[i] = static_cast<char>(index * 37 + i * 11);
  return planes;
}

// The same frame as the shared area holds it: the luma plane, then of each
// chroma plane the first h/2 rows of their first w/2 samples.
Bytes SharedPlanes(uint32_t w, uint32_t h, int index) {
  const std::string y4m = Y4mPlanes(w, h, index);
  Bytes out(y4m.begin(), y4m.begin() + w * h);
  const uint32_t in_w = (w + 1) / 2, in_h = (h + 1) / 2;
  for (int plane = 0; plane < 2; ++plane) {
    const size_t base = w * h + plane * in_w * in_h;
    for (uint32_t y = 0; y < h / 2; ++y) {
      for (uint32_t x = 0; x < w / 2; ++x) out.push_back(y4m[base + y * in_w + x]);
    }
  }
  return out;
}

// A reader over a file holding `bytes`.
class FileInput {
 public:
  FileInput(const TempFolder& folder, const std::string& bytes) {
    const std::string path = folder.File("input.y4m");
    WriteFile(path, bytes);
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  }
  ~FileInput() { close(fd_); }
  int fd() const { return fd_; }

 private:
  int fd_;
};

Y4mReader::Status ReadHeaderOf(const std::string& stream, lumenplug::Y4mStreamInfo* info,
                               std::string* error) {
  TempFolder folder;
  FileInput input(folder, stream);
  Y4mReader reader(input.fd());
  const Y4mReader::Status status = reader.ReadHeader(info, tessel::kFrameDataBytes);
  *error = reader.error();
  return status;
}

// ---------------------------------------------------------------------------
// YUV4MPEG2 reader

TEST(Y4mReader, AcceptsEveryPlanar420ColourSpace) {
  for (const char* tag : {"", " C420", " C420jpeg", " C420paldv", " C420mpeg2"}) {
    lumenplug::Y4mStreamInfo info;
    std::string error;
    EXPECT_EQ(Y4mReader::kOk,
              ReadHeaderOf(std::string("YUV4MPEG2 W8 H6 F30:1") + tag + "\n", &info, &error))
        << tag << ": " << error;
    EXPECT_EQ(8u, info.width);
    EXPECT_EQ(6u, info.height);
  }
}

TEST(Y4mReader, TakesParametersInAnyOrder) {
  lumenplug::Y4mStreamInfo info;
  std::string error;
  ASSERT_EQ(Y4mReader::kOk,
            ReadHeaderOf("YUV4MPEG2 XYSCSS=420JPEG C420jpeg A128:117 Ib F30000:1001 H240 W320\n",
                         &info, &error))
      << error;
  EXPECT_EQ(320u, info.width);
  EXPECT_EQ(240u, info.height);
  EXPECT_TRUE(info.has_rate);
  EXPECT_EQ(30000u, info.rate.numerator);
  EXPECT_EQ(1001u, info.rate.denominator);
  EXPECT_EQ('b', info.interlacing);
  EXPECT_EQ("interlaced (bottom field first)", lumenplug::DescribeInterlacing(info.interlacing));
}

TEST(Y4mReader, UnknownOrMissingRateLeavesTheRateOpen) {
  for (const char* header : {"YUV4MPEG2 W8 H6\n", "YUV4MPEG2 W8 H6 F0:0\n"}) {
    lumenplug::Y4mStreamInfo info;
    std::string error;
    ASSERT_EQ(Y4mReader::kOk, ReadHeaderOf(header, &info, &error)) << error;
    EXPECT_FALSE(info.has_rate) << header;
  }
}

TEST(Y4mReader, RefusesOtherColourSpacesNamingThem) {
  for (const char* space : {"422", "444", "mono", "411", "420p10", "444alpha"}) {
    lumenplug::Y4mStreamInfo info;
    std::string error;
    EXPECT_EQ(Y4mReader::kError,
              ReadHeaderOf(std::string("YUV4MPEG2 W8 H6 F30:1 C") + space + "\n", &info, &error));
    EXPECT_NE(std::string::npos, error.find(std::string("C") + space + " is not supported"))
        << error;
  }
}

TEST(Y4mReader, RefusesMalformedHeaders) {
  const std::map<std::string, std::string> cases = {
      {"", "the input is empty"},
      {"RIFF\x24\0\0\0WAVEfmt \n", "not a YUV4MPEG2 stream"},
      {"YUV4MPEG2W8 H6\n", "not a YUV4MPEG2 stream"},
      {"YUV4MPEG2 H6 F30:1\n", "no frame size"},
      {"YUV4MPEG2 W0 H6\n", "the width \"W0\""},
      {"YUV4MPEG2 W8 H-6\n", "the height \"H-6\""},
      {"YUV4MPEG2 W8 H6 F30\n", "the frame rate \"F30\""},
      {"YUV4MPEG2 W8 H6 F30:0\n", "the frame rate \"F30:0\""},
      {"YUV4MPEG2 W8 H6 Ix\n", "the interlacing \"Ix\""},
      {"YUV4MPEG2 W8 H6 A1\n", "the pixel aspect \"A1\""},
      {"YUV4MPEG2 W8 H6", "ends inside its header line"},
      {"YUV4MPEG2 W8 H6 X" + std::string(5000, 'x') + "\n", "longer than 4096 bytes"},
      {std::string(5000, 'z'), "not a YUV4MPEG2 stream"},
  };
  for (const auto& [stream, reason] : cases) {
    lumenplug::Y4mStreamInfo info;
    std::string error;
    EXPECT_EQ(Y4mReader::kError, ReadHeaderOf(stream, &info, &error)) << stream.substr(0, 30);
    EXPECT_NE(std::string::npos, error.find(reason)) << error;
  }
}

TEST(Y4mReader, RefusesFramesLargerThanTheAreaNamingTheLimit) {
  lumenplug::Y4mStreamInfo info;
  std::string error;
  EXPECT_EQ(Y4mReader::kError, ReadHeaderOf("YUV4MPEG2 W1280 H720 F30:1\n", &info, &error));
  EXPECT_NE(std::string::npos, error.find("1280x720, 1382400 bytes")) << error;
  EXPECT_NE(std::string::npos, error.find("460800 bytes")) << error;
  // The boundary: exactly the area fits; one more row does not.
  EXPECT_EQ(Y4mReader::kOk, ReadHeaderOf("YUV4MPEG2 W640 H480\n", &info, &error));
  EXPECT_EQ(Y4mReader::kError, ReadHeaderOf("YUV4MPEG2 W640 H481\n", &info, &error));
}

TEST(Y4mReader, ConvertsOddSizesToTheAreaLayout) {
  // 5 x 3: y4m chroma is 3 x 2, the area's 2 x 1.
  for (auto [w, h] : {std::pair{5u, 3u}, {33u, 17u}, {1u, 1u}, {2u, 2u}, {4u, 7u}}) {
    TempFolder folder;
    const std::string header = "YUV4MPEG2 W" + std::to_string(w) + " H" + std::to_string(h);
    FileInput input(
        folder, header + " F30:1\nFRAME\n" + Y4mPlanes(w, h, 0) + "FRAME\n" + Y4mPlanes(w, h, 1));
    Y4mReader reader(input.fd());
    lumenplug::Y4mStreamInfo info;
    ASSERT_EQ(Y4mReader::kOk, reader.ReadHeader(&info, tessel::kFrameDataBytes));
    Bytes frame;
    for (int index = 0; index < 2; ++index) {
      ASSERT_EQ(Y4mReader::kOk, reader.ReadFrame(&frame)) << reader.error();
      EXPECT_EQ(SharedPlanes(w, h, index), frame) << w << "x" << h << " frame " << index;
    }
    EXPECT_EQ(Y4mReader::kEnd, reader.ReadFrame(&frame));
    EXPECT_EQ(2u, reader.frames_read());
  }
}

TEST(Y4mReader, AcceptsFrameHeadersWithParameters) {
  TempFolder folder;
  FileInput input(folder, "YUV4MPEG2 W4 H2 F25:1\nFRAME Ip XMARK=1\n" + Y4mPlanes(4, 2, 0) +
                              "FRAME\n" + Y4mPlanes(4, 2, 1));
  Y4mReader reader(input.fd());
  lumenplug::Y4mStreamInfo info;
  ASSERT_EQ(Y4mReader::kOk, reader.ReadHeader(&info, tessel::kFrameDataBytes));
  Bytes frame;
  EXPECT_EQ(Y4mReader::kOk, reader.ReadFrame(&frame)) << reader.error();
  EXPECT_EQ(Y4mReader::kOk, reader.ReadFrame(&frame)) << reader.error();
  EXPECT_EQ(SharedPlanes(4, 2, 1), frame);
}

TEST(Y4mReader, StopsAtTruncatedOrForeignFrames) {
  const std::string header = "YUV4MPEG2 W5 H3 F30:1\n";
  const std::string whole = "FRAME\n" + Y4mPlanes(5, 3, 0);
  const std::map<std::string, std::string> cases = {
      {whole + "FRAME\n" + Y4mPlanes(5, 3, 1).substr(0, 10),
       "frame 2 is truncated: it has 10 of its 27 bytes"},
      {whole + "FRAME\n", "frame 2 is truncated: it has 0 of its 27 bytes"},
      {whole + "FRA", "frame 2 is truncated: the stream ends inside its FRAME line"},
      {whole + "FRAME Ip", "frame 2 is truncated: the stream ends inside its FRAME line"},
      {whole + "FRAMES\n", "frame 2: expected a FRAME line, found \"FRAMES\""},
      {whole + "junk\n", "frame 2: expected a FRAME line, found \"junk\""},
  };
  for (const auto& [frames, reason] : cases) {
    TempFolder folder;
    FileInput input(folder, header + frames);
    Y4mReader reader(input.fd());
    lumenplug::Y4mStreamInfo info;
    ASSERT_EQ(Y4mReader::kOk, reader.ReadHeader(&info, tessel::kFrameDataBytes));
    Bytes frame;
    ASSERT_EQ(Y4mReader::kOk, reader.ReadFrame(&frame));
    EXPECT_EQ(Y4mReader::kError, reader.ReadFrame(&frame));
    EXPECT_EQ(reason, reader.error());
  }
}

TEST(Y4mReader, RewindsAFileToItsFirstFrame) {
  TempFolder folder;
  FileInput input(folder, "YUV4MPEG2 W4 H2 F25:1\nFRAME\n" + Y4mPlanes(4, 2, 0) + "FRAME\n" +
                              Y4mPlanes(4, 2, 1));
  Y4mReader reader(input.fd());
  lumenplug::Y4mStreamInfo info;
  ASSERT_EQ(Y4mReader::kOk, reader.ReadHeader(&info, tessel::kFrameDataBytes));
  Bytes frame;
  ASSERT_EQ(Y4mReader::kOk, reader.ReadFrame(&frame));
  ASSERT_EQ(Y4mReader::kOk, reader.ReadFrame(&frame));
  ASSERT_EQ(Y4mReader::kEnd, reader.ReadFrame(&frame));
  ASSERT_TRUE(reader.Rewind());
  ASSERT_EQ(Y4mReader::kOk, reader.ReadFrame(&frame));
  EXPECT_EQ(SharedPlanes(4, 2, 0), frame);
}

TEST(Y4mReader, ReadsAPipeInPiecesButCannotRewindIt) {
  int pipe_fds[2];
  ASSERT_EQ(0, pipe(pipe_fds));
  const std::string stream = "YUV4MPEG2 W33 H17 F30:1\nFRAME\n" + Y4mPlanes(33, 17, 3);
  const pid_t writer = fork();
  if (writer == 0) {
    // Byte by byte for the header, so that lines arrive split.
    for (char c : stream) {
      if (write(pipe_fds[1], &c, 1) != 1) _exit(1);
    }
    _exit(0);
  }
  close(pipe_fds[1]);
  Y4mReader reader(pipe_fds[0]);
  lumenplug::Y4mStreamInfo info;
  Bytes frame;
  EXPECT_EQ(Y4mReader::kOk, reader.ReadHeader(&info, tessel::kFrameDataBytes)) << reader.error();
  EXPECT_EQ(Y4mReader::kOk, reader.ReadFrame(&frame)) << reader.error();
  EXPECT_EQ(SharedPlanes(33, 17, 3), frame);
  EXPECT_EQ(Y4mReader::kEnd, reader.ReadFrame(&frame));
  EXPECT_FALSE(reader.Rewind());
  close(pipe_fds[0]);
  int status = 0;
  waitpid(writer, &status, 0);
}

TEST(Y4mReader, GivesUpWaitingOnAPipeWhenWoken) {
  int input[2], wake[2];
  ASSERT_EQ(0, pipe(input));
  ASSERT_EQ(0, pipe(wake));
  ASSERT_EQ(1, write(wake[1], "x", 1));  // as a signalfd would be, once a signal came
  Y4mReader reader(input[0], wake[0]);
  lumenplug::Y4mStreamInfo info;
  // Nothing ever arrives on the input: without the wake-up this would hang.
  EXPECT_EQ(Y4mReader::kInterrupted, reader.ReadHeader(&info, tessel::kFrameDataBytes));
  for (int fd : {input[0], input[1], wake[0], wake[1]}) close(fd);
}

// ---------------------------------------------------------------------------
// YUV4MPEG2 writer

TEST(Y4mWriter, RoundTripsOddSizesThroughTheReader) {
  TempFolder folder;
  const std::string path = folder.File("out.y4m");
  FILE* file = fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, file);
  lumenplug::Y4mWriter writer(file);
  ASSERT_TRUE(writer.WriteHeader(7, 5, {30000, 1001}));
  for (int index = 0; index < 3; ++index)
    ASSERT_TRUE(writer.WriteFrame(SharedPlanes(7, 5, index).data()));
  fclose(file);

  EXPECT_EQ(0u, ReadFile(path).find("YUV4MPEG2 W7 H5 F30000:1001 Ip A1:1 C420jpeg\nFRAME\n"));
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  Y4mReader reader(fd);
  lumenplug::Y4mStreamInfo info;
  ASSERT_EQ(Y4mReader::kOk, reader.ReadHeader(&info, tessel::kFrameDataBytes));
  Bytes frame;
  for (int index = 0; index < 3; ++index) {
    ASSERT_EQ(Y4mReader::kOk, reader.ReadFrame(&frame)) << reader.error();
    EXPECT_EQ(SharedPlanes(7, 5, index), frame);
  }
  EXPECT_EQ(Y4mReader::kEnd, reader.ReadFrame(&frame));
  close(fd);
}

TEST(Y4mWriter, RepeatsTheLastChromaColumnAndRowOfOddSizes) {
  // 3 x 3: the area has one chroma sample per plane, y4m wants 2 x 2.
  const Bytes planar = {1, 2, 3, 4, 5, 6, 7, 8, 9, 100, 200};
  Bytes y4m(lumenplug::Y4mFrameBytes(3, 3));
  lumenplug::SharedToY4mLayout(planar.data(), 3, 3, y4m.data());
  EXPECT_EQ((Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 100, 100, 100, 100, 200, 200, 200, 200}), y4m);
  // 1 x 1 has no chroma sample at all: neutral grey.
  const Bytes one = {77};
  Bytes y4m_one(lumenplug::Y4mFrameBytes(1, 1));
  lumenplug::SharedToY4mLayout(one.data(), 1, 1, y4m_one.data());
  EXPECT_EQ((Bytes{77, 128, 128}), y4m_one);
}

TEST(Y4mWriter, FfprobeReadsWhatItWrites) {
  if (!HaveProgram("ffprobe")) GTEST_SKIP() << "ffprobe is not installed";
  for (auto [w, h] : {std::pair{320u, 240u}, {33u, 17u}}) {
    TempFolder folder;
    const std::string path = folder.File("out.y4m");
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, file);
    lumenplug::Y4mWriter writer(file);
    ASSERT_TRUE(writer.WriteHeader(w, h, {30, 1}));
    for (int index = 0; index < 3; ++index)
      ASSERT_TRUE(writer.WriteFrame(SharedPlanes(w, h, index).data()));
    fclose(file);
    int status = -1;
    const std::string streams =
        Output("ffprobe -v error -count_frames -show_streams '" + path + "'", &status);
    EXPECT_EQ(0, status);
    EXPECT_NE(std::string::npos, streams.find("\nwidth=" + std::to_string(w) + "\n")) << streams;
    EXPECT_NE(std::string::npos, streams.find("\nheight=" + std::to_string(h) + "\n")) << streams;
    EXPECT_NE(std::string::npos, streams.find("\npix_fmt=yuv420p\n")) << streams;
    EXPECT_NE(std::string::npos, streams.find("\nnb_read_frames=3\n")) << streams;
  }
}

// ---------------------------------------------------------------------------
// PNG

// Bit by bit, as the PNG standard gives it: a reference that shares
// nothing with the table-driven encoder.
uint32_t ReferenceCrc(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

uint32_t ReferenceAdler(const uint8_t* data, size_t size) {
  uint32_t a = 1, b = 0;
  for (size_t i = 0; i < size; ++i) {
    a = (a + data[i]) % 65521;
    b = (b + a) % 65521;
  }
  return b << 16 | a;
}

uint32_t BigEndian(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

const uint8_t* Text(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

TEST(Png, ChecksumsMatchTheirKnownValues) {
  EXPECT_EQ(0xCBF43926u, lumenplug::Crc32(Text("123456789"), 9));
  EXPECT_EQ(0xAE426082u, lumenplug::Crc32(Text("IEND"), 4));
  EXPECT_EQ(0u, lumenplug::Crc32(nullptr, 0));
  EXPECT_EQ(0x11E60398u, lumenplug::Adler32(Text("Wikipedia"), 9));
  EXPECT_EQ(1u, lumenplug::Adler32(nullptr, 0));
  // Long runs of 0xFF are where a lazy modulo overflows.
  std::mt19937 random(7);
  for (size_t size : {1u, 5551u, 5552u, 5553u, 100000u}) {
    Bytes data(size, 0xFF);
    if (size == 100000) {
      for (auto& byte : data) byte = static_cast<uint8_t>(random());
    }
    EXPECT_EQ(ReferenceAdler(data.data(), size), lumenplug::Adler32(data.data(), size)) << size;
    EXPECT_EQ(ReferenceCrc(data.data(), size), lumenplug::Crc32(data.data(), size)) << size;
  }
}

// Parses a PNG as a strict reader would and returns its pixels; records
// the first fault in `fault`.
Bytes DecodeStoredPng(const Bytes& png, uint32_t* width, uint32_t* height, std::string* fault) {
  const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (png.size() < 8 || memcmp(png.data(), signature, 8) != 0) return *fault = "signature", Bytes();
  std::vector<std::string> order;
  Bytes zlib;
  size_t at = 8;
  while (at + 12 <= png.size()) {
    const uint32_t length = BigEndian(&png[at]);
    if (at + 12 + length > png.size()) return *fault = "chunk overruns the file", Bytes();
    const std::string type(png.begin() + at + 4, png.begin() + at + 8);
    const uint8_t* data = &png[at + 8];
    if (ReferenceCrc(&png[at + 4], length + 4) != BigEndian(data + length)) {
      return *fault = "bad CRC in " + type, Bytes();
    }
    order.push_back(type);
    if (type == "IHDR") {
      if (length != 13) return *fault = "IHDR length", Bytes();
      *width = BigEndian(data);
      *height = BigEndian(data + 4);
      if (memcmp(data + 8, "\x08\x02\x00\x00\x00", 5) != 0) return *fault = "IHDR format", Bytes();
    }
    if (type == "IDAT") zlib.insert(zlib.end(), data, data + length);
    if (type == "IEND" && length != 0) return *fault = "IEND length", Bytes();
    at += 12 + length;
  }
  if (at != png.size()) return *fault = "bytes after the last chunk", Bytes();
  if (order.empty() || order.front() != "IHDR" || order.back() != "IEND") {
    return *fault = "chunk order", Bytes();
  }
  // zlib: CMF/FLG, stored blocks, Adler-32.
  if (zlib.size() < 6 || (zlib[0] & 0x0F) != 8 || (zlib[0] << 8 | zlib[1]) % 31 != 0 ||
      (zlib[1] & 0x20) != 0) {
    return *fault = "zlib header", Bytes();
  }
  Bytes raw;
  size_t z = 2;
  for (bool last = false; !last;) {
    if (z + 5 > zlib.size()) return *fault = "deflate block overruns", Bytes();
    last = zlib[z] & 1;
    if ((zlib[z] >> 1 & 3) != 0) return *fault = "not a stored block", Bytes();
    const uint16_t len = zlib[z + 1] | zlib[z + 2] << 8;
    const uint16_t nlen = zlib[z + 3] | zlib[z + 4] << 8;
    if (static_cast<uint16_t>(~len) != nlen) return *fault = "NLEN", Bytes();
    z += 5;
    if (z + len > zlib.size()) return *fault = "stored data overruns", Bytes();
    raw.insert(raw.end(), zlib.begin() + z, zlib.begin() + z + len);
    z += len;
  }
  if (z + 4 != zlib.size()) return *fault = "zlib trailer", Bytes();
  if (BigEndian(&zlib[z]) != ReferenceAdler(raw.data(), raw.size())) {
    return *fault = "Adler-32", Bytes();
  }
  Bytes pixels;
  const size_t row = size_t{*width} * 3;
  if (raw.size() != (row + 1) * *height) return *fault = "image data size", Bytes();
  for (size_t y = 0; y < *height; ++y) {
    if (raw[y * (row + 1)] != 0) return *fault = "filter type", Bytes();
    pixels.insert(pixels.end(), raw.begin() + y * (row + 1) + 1, raw.begin() + (y + 1) * (row + 1));
  }
  return pixels;
}

TEST(Png, EncodesAValidFileWithSeveralStoredBlocks) {
  // 200 x 120 x 3 + 120 filter bytes: 72,120 bytes, two stored blocks.
  const uint32_t w = 200, h = 120;
  Bytes rgb(w * h * 3);
  std::mt19937 random(11);
  for (auto& byte : rgb) byte = static_cast<uint8_t>(random());
  uint32_t width = 0, height = 0;
  std::string fault;
  const Bytes pixels =
      DecodeStoredPng(lumenplug::EncodePng(rgb.data(), w, h), &width, &height, &fault);
  EXPECT_EQ("", fault);
  EXPECT_EQ(w, width);
  EXPECT_EQ(h, height);
  EXPECT_EQ(rgb, pixels);
}

TEST(Png, EncodesTheSmallestPicture) {
  const Bytes rgb = {1, 2, 3};
  uint32_t width = 0, height = 0;
  std::string fault;
  EXPECT_EQ(rgb, DecodeStoredPng(lumenplug::EncodePng(rgb.data(), 1, 1), &width, &height, &fault));
  EXPECT_EQ("", fault);
}

TEST(Png, ConvertsBt601LimitedRangeColours) {
  struct Case {
    uint8_t y, cb, cr;
    uint8_t r, g, b;
  };
  const Case cases[] = {
      {16, 128, 128, 0, 0, 0},         // black
      {235, 128, 128, 255, 255, 255},  // white
      {81, 90, 240, 255, 0, 0},        // red
      {41, 240, 110, 0, 0, 255},       // blue
      {126, 128, 128, 128, 128, 128},  // mid grey
      {0, 0, 0, 0, 135, 0},            // below the range: clamped, not wrapped
      {255, 255, 255, 255, 125, 255},  // above the range
  };
  for (const Case& c : cases) {
    // 2 x 2 pixels sharing one chroma sample.
    const Bytes planar = {c.y, c.y, c.y, c.y, c.cb, c.cr};
    const Bytes rgb = lumenplug::Yuv420ToRgb(planar.data(), 2, 2);
    for (int pixel = 0; pixel < 4; ++pixel) {
      EXPECT_EQ((Bytes{c.r, c.g, c.b}), Bytes(rgb.begin() + pixel * 3, rgb.begin() + pixel * 3 + 3))
          << int{c.y} << "," << int{c.cb} << "," << int{c.cr};
    }
  }
}

TEST(Png, OddEdgesBorrowTheirNeighboursChroma) {
  // 3 x 3: one chroma sample (blue) for all nine pixels.
  const Bytes planar = {41, 41, 41, 41, 41, 41, 41, 41, 41, 240, 110};
  const Bytes rgb = lumenplug::Yuv420ToRgb(planar.data(), 3, 3);
  for (int pixel = 0; pixel < 9; ++pixel) EXPECT_EQ(255, rgb[pixel * 3 + 2]) << pixel;
  // 1 x 1 has no chroma: grey from luma alone.
  const Bytes one = {126};
  EXPECT_EQ((Bytes{128, 128, 128}), lumenplug::Yuv420ToRgb(one.data(), 1, 1));
}

TEST(Png, FfmpegDecodesTheSamePixels) {
  if (!HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  TempFolder folder;
  const std::string path = folder.File("still.png");
  const uint32_t w = 97, h = 31;
  Bytes rgb(w * h * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 7 + i / 300);
  std::string error;
  ASSERT_TRUE(lumenplug::WritePngFile(path, rgb.data(), w, h, &error)) << error;
  int status = -1;
  const std::string decoded =
      Output("ffmpeg -v error -i '" + path + "' -f rawvideo -pix_fmt rgb24 -", &status);
  EXPECT_EQ(0, status);
  EXPECT_TRUE(Bytes(decoded.begin(), decoded.end()) == rgb) << "ffmpeg sees other pixels";
}

TEST(Png, ReportsAFileItCannotWrite) {
  const Bytes rgb = {1, 2, 3};
  std::string error;
  EXPECT_FALSE(lumenplug::WritePngFile("/nonexistent-folder/still.png", rgb.data(), 1, 1, &error));
  EXPECT_NE(std::string::npos, error.find("cannot create /nonexistent-folder/still.png")) << error;
}

// ---------------------------------------------------------------------------
// Test pattern

Bytes Render(const lumenplug::TestPattern& pattern, uint32_t w, uint32_t h, uint64_t number) {
  Bytes frame(tessel::PlanarFrameBytes(w, h));
  pattern.Render(number, frame.data());
  return frame;
}

// True when rows [top, bottom) of the luma planes differ.
bool RowsDiffer(const Bytes& a, const Bytes& b, uint32_t w, uint32_t top, uint32_t bottom) {
  return !std::equal(a.begin() + top * w, a.begin() + bottom * w, b.begin() + top * w);
}

TEST(TestPattern, EveryFrameDiffersFromTheOneBefore) {
  const uint32_t w = 640, h = 480;
  lumenplug::TestPattern pattern(w, h);
  Bytes previous = Render(pattern, w, h, 0);
  for (uint64_t number = 1; number <= 120; ++number) {
    const Bytes frame = Render(pattern, w, h, number);
    // The number (upper half) and the box (bottom quarter) both change.
    EXPECT_TRUE(RowsDiffer(previous, frame, w, 0, h / 2)) << number;
    EXPECT_TRUE(RowsDiffer(previous, frame, w, h - h / 4, h)) << number;
    previous = frame;
  }
}

TEST(TestPattern, AFrameDependsOnlyOnItsNumber) {
  lumenplug::TestPattern pattern(320, 240);
  EXPECT_EQ(Render(pattern, 320, 240, 1234), Render(pattern, 320, 240, 1234));
}

TEST(TestPattern, TheBoxSweepsBackAndForthInsideThePicture) {
  lumenplug::TestPattern pattern(100, 80);
  const uint32_t travel = 100 - pattern.BoxSide();
  EXPECT_EQ(0u, pattern.BoxLeft(0));
  EXPECT_EQ(lumenplug::TestPattern::kBoxStepPixels, pattern.BoxLeft(1));
  uint32_t furthest = 0;
  for (uint64_t number = 0; number < 200; ++number) {
    EXPECT_LE(pattern.BoxLeft(number), travel) << number;
    furthest = std::max(furthest, pattern.BoxLeft(number));
  }
  EXPECT_EQ(travel, furthest);  // 90 is no multiple of the step: the edge is still reached
  // Back at the start after a round trip of 23 frames out and 23 back.
  EXPECT_EQ(0u, pattern.BoxLeft(46));
  EXPECT_NE(0u, pattern.BoxLeft(45));
  // Never the same place twice in a row, the turns included.
  for (uint64_t number = 0; number < 200; ++number) {
    EXPECT_NE(pattern.BoxLeft(number), pattern.BoxLeft(number + 1)) << number;
  }
}

TEST(TestPattern, DrawsAnySizeWithoutStrayingOutside) {
  // Run under the address sanitizer, a write past the frame fails here.
  for (auto [w, h] :
       {std::pair{1u, 1u}, {2u, 2u}, {3u, 1u}, {1u, 9u}, {33u, 17u}, {641u, 1u}, {16u, 28800u}}) {
    lumenplug::TestPattern pattern(w, h);
    Bytes frame = Render(pattern, w, h, 987654321);
    EXPECT_EQ(tessel::PlanarFrameBytes(w, h), frame.size());
  }
}

// ---------------------------------------------------------------------------
// Options

TEST(Options, ParsesFrameRatesInTheirUsualForms) {
  const std::map<std::string, std::pair<uint32_t, uint32_t>> good = {
      {"30", {30, 1}},   {"29.97", {2997, 100}}, {"30000/1001", {30000, 1001}},
      {"25:1", {25, 1}}, {"0.5", {1, 2}},        {"1000", {1000, 1}},
      {"60/2", {30, 1}}};
  for (const auto& [text, rate] : good) {
    lumenplug::FrameRate parsed;
    std::string error;
    ASSERT_TRUE(lumenplug::ParseFrameRate(text, &parsed, &error)) << text << ": " << error;
    EXPECT_EQ(rate.first, parsed.numerator) << text;
    EXPECT_EQ(rate.second, parsed.denominator) << text;
  }
  for (const char* text :
       {"", "0", "0/1", "1/0", "1001", "-5", "abc", "30fps", "1.2.3", ".", "30/"}) {
    lumenplug::FrameRate parsed;
    std::string error;
    EXPECT_FALSE(lumenplug::ParseFrameRate(text, &parsed, &error)) << text;
    EXPECT_FALSE(error.empty());
  }
}

TEST(Options, FrameStartsDoNotDriftOrOverflow) {
  EXPECT_EQ(1000000000, lumenplug::FrameStartNs({30, 1}, 30));
  EXPECT_EQ(1001000000000, lumenplug::FrameStartNs({30000, 1001}, 30000));
  // A year at 1000 frames per second: far beyond 64-bit products of the parts.
  EXPECT_EQ(31536000000000000, lumenplug::FrameStartNs({1000, 1}, 31536000000ull));
}

TEST(Options, ParsesSizes) {
  uint32_t w = 0, h = 0;
  std::string error;
  EXPECT_TRUE(lumenplug::ParseSize("640x480", &w, &h, &error));
  EXPECT_EQ(640u, w);
  EXPECT_EQ(480u, h);
  for (const char* text : {"640", "0x480", "640x0", "x480", "640x", "-1x5", "65536x1", "6 x4"}) {
    EXPECT_FALSE(lumenplug::ParseSize(text, &w, &h, &error)) << text;
  }
}

TEST(Options, ParsesCountsAndSeconds) {
  uint64_t count = 0;
  double seconds = 0;
  std::string error;
  EXPECT_TRUE(lumenplug::ParseCount("12", &count, &error));
  EXPECT_EQ(12u, count);
  EXPECT_FALSE(lumenplug::ParseCount("0", &count, &error));
  EXPECT_FALSE(lumenplug::ParseCount("1e3", &count, &error));
  EXPECT_TRUE(lumenplug::ParseSeconds("2.5", &seconds, &error));
  EXPECT_EQ(2.5, seconds);
  EXPECT_TRUE(lumenplug::ParseSeconds(".5", &seconds, &error));
  for (const char* text : {"0", "-1", "abc", "1e3", "", ".", "nan", "inf"}) {
    EXPECT_FALSE(lumenplug::ParseSeconds(text, &seconds, &error)) << text;
  }
}

}  // namespace
