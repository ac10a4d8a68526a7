// Fuzz target for feed's YUV4MPEG2 reader: the input is a whole stream,
// read from a memory file as feed reads a file given on its command line.
// Checked besides memory safety: an accepted header has a size whose frames
// fit the shared area and, when it gives a rate, the rate is judged by the
// same bounds as --rate; every frame read has the shared layout's size; the
// layout conversions undo each other on what a frame can hold; Rewind goes
// back to the first frame.
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz/fuzzcheck.h"
#include "sharedmem/sharedframearea.h"
#include "tools/QuorvexLumenPlug/options.h"
#include "tools/QuorvexLumenPlug/y4m.h"

namespace {

// Frames read per input: enough for the second and later FRAME lines.
constexpr int kMaxFrames = 4;

// One memory file for every input, refilled each time.
int StreamFile() {
  static const int fd = memfd_create("y4m_fuzz", MFD_CLOEXEC);
  if (fd < 0) FuzzCheckFailed(__FILE__, __LINE__, "memfd_create", "StreamFile");
  return fd;
}

void Refill(int fd, const uint8_t* data, size_t size) {
  FUZZ_CHECK(ftruncate(fd, 0) == 0, "ftruncate");
  for (size_t done = 0; done < size;) {
    const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    FUZZ_CHECK(n > 0, "pwrite");
    done += static_cast<size_t>(n);
  }
  FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0, "lseek");
}

// The shared layout of a frame through the y4m layout and back. The y4m
// layout repeats the last chroma column and row of an odd size, so the
// shared layout must come back unchanged.
void CheckLayoutsRoundTrip(const std::vector<uint8_t>& frame, uint32_t width, uint32_t height) {
  std::vector<uint8_t> y4m(lumenplug::Y4mFrameBytes(width, height));
  lumenplug::SharedToY4mLayout(frame.data(), width, height, y4m.data());
  std::vector<uint8_t> back(frame.size());
  lumenplug::Y4mToSharedLayout(y4m.data(), width, height, back.data());
  FUZZ_CHECK(back == frame, "Y4mToSharedLayout");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = StreamFile();
  Refill(fd, data, size);
  lumenplug::Y4mReader reader(fd);
  lumenplug::Y4mStreamInfo info;
  const lumenplug::Y4mReader::Status header = reader.ReadHeader(&info, tessel::kFrameDataBytes);
  FUZZ_CHECK(header != lumenplug::Y4mReader::kInterrupted, "ReadHeader");
  if (header != lumenplug::Y4mReader::kOk) {
    FUZZ_CHECK(header != lumenplug::Y4mReader::kError || !reader.error().empty(), "ReadHeader");
    return 0;
  }
  FUZZ_CHECK(info.width > 0 && info.height > 0, "ReadHeader");
  const uint64_t frame_bytes = tessel::PlanarFrameBytes(info.width, info.height);
  FUZZ_CHECK(frame_bytes <= tessel::kFrameDataBytes, "ReadHeader");
  if (info.has_rate) {
    std::string bound;
    if (lumenplug::FrameRateInBounds(info.rate, &bound)) {
      FUZZ_CHECK(bound.empty(), "FrameRateInBounds");
      // In bounds, the frame times of a long run (a million frames, two
      // years at the slowest rate) stay finite and ordered.
      const int64_t first = lumenplug::FrameStartNs(info.rate, 1);
      const int64_t later = lumenplug::FrameStartNs(info.rate, 1000000);
      FUZZ_CHECK(first > 0 && later > first, "FrameStartNs");
    } else {
      FUZZ_CHECK(!bound.empty(), "FrameRateInBounds");
    }
  }

  std::vector<uint8_t> frame, first_frame;
  int frames = 0;
  lumenplug::Y4mReader::Status status = lumenplug::Y4mReader::kOk;
  while (frames < kMaxFrames && (status = reader.ReadFrame(&frame)) == lumenplug::Y4mReader::kOk) {
    FUZZ_CHECK(frame.size() == frame_bytes, "ReadFrame");
    if (frames == 0) {
      first_frame = frame;
      CheckLayoutsRoundTrip(frame, info.width, info.height);
    }
    ++frames;
  }
  FUZZ_CHECK(status != lumenplug::Y4mReader::kInterrupted, "ReadFrame");
  FUZZ_CHECK(status != lumenplug::Y4mReader::kError || !reader.error().empty(), "ReadFrame");
  FUZZ_CHECK(reader.frames_read() == static_cast<uint64_t>(frames), "frames_read");
  if (frames > 0) {
    FUZZ_CHECK(reader.Rewind(), "Rewind");
    FUZZ_CHECK(reader.ReadFrame(&frame) == lumenplug::Y4mReader::kOk, "ReadFrame after Rewind");
    FUZZ_CHECK(frame == first_frame, "ReadFrame after Rewind");
  }
  return 0;
}
