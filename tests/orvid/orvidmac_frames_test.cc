// Frames end to end: the test process plays the producer (the agent), writing
// frames into the shared area under the named mutex exactly as the agent
// must; hosts running the real bundle poll for them through the component
// manager and write what they were handed to files, which the tests compare
// with the frames written, or with the frames a plain reference scaler
// computes from the scaler's documented rules.
#include <semaphore.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "sharedmem/sharedframearea.h"
#include "platform/videodigitizer.h"
#include "sharedmem/sharedmem.h"
#include "tests/orvid/orvid_host_fixture.h"

namespace {

using namespace orvid_test;  // NOLINT: the fixture and its helpers

// How long a poll may wait for the named mutex before it gives up.
constexpr long kLockBoundMicroseconds = 100000;

// A planar 4:2:0 frame.
struct Frame {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> planes;
};

// A frame of pseudo-random samples; each seed gives other ones.
Frame RandomFrame(uint32_t width, uint32_t height, uint32_t seed) {
  Frame frame;
  frame.width = width;
  frame.height = height;
  frame.planes.resize(tessel::PlanarFrameBytes(width, height));
  std::mt19937 random(seed);
  for (uint8_t& sample : frame.planes) sample = static_cast<uint8_t>(random());
  return frame;
}

Frame FilledFrame(uint32_t width, uint32_t height, uint8_t value) {
  Frame frame;
  frame.width = width;
  frame.height = height;
  frame.planes.assign(tessel::PlanarFrameBytes(width, height), value);
  return frame;
}

// ---------------------------------------------------------------------------
// A reference scaler, written from the scaler's documented rules rather than
// from its code: equal sizes copy; a plane that grows both ways takes the
// nearest sample; every other plane takes the area average, each source
// sample weighted by how much of the destination sample's footprint it
// covers, rounded to nearest with halves up.

uint8_t AreaAverage(const uint8_t* src, long sw, long sh, long dw, long dh, long x, long y) {
  // In units where a source sample is dw wide and dh high, destination
  // sample (x, y) covers [x*sw, (x+1)*sw) x [y*sh, (y+1)*sh).
  // Only the source rows and columns that the footprint reaches.
  uint64_t sum = 0;
  uint64_t total = 0;
  for (long r = y * sh / dh; r * dh < (y + 1) * sh; ++r) {
    const long top = std::max(y * sh, r * dh);
    const long bottom = std::min((y + 1) * sh, (r + 1) * dh);
    for (long c = x * sw / dw; c * dw < (x + 1) * sw; ++c) {
      const long left = std::max(x * sw, c * dw);
      const long right = std::min((x + 1) * sw, (c + 1) * dw);
      const uint64_t weight = static_cast<uint64_t>(bottom - top) * (right - left);
      sum += weight * src[r * sw + c];
      total += weight;
    }
  }
  return static_cast<uint8_t>((sum + total / 2) / total);
}

void ReferencePlane(const uint8_t* src, long sw, long sh, uint8_t* dst, long dw, long dh) {
  if (sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0) return;
  for (long y = 0; y < dh; ++y) {
    for (long x = 0; x < dw; ++x) {
      uint8_t value;
      if (sw == dw && sh == dh) {
        value = src[y * sw + x];
      } else if (dw > sw && dh > sh) {
        value = src[(y * sh / dh) * sw + x * sw / dw];
      } else {
        value = AreaAverage(src, sw, sh, dw, dh, x, y);
      }
      dst[y * dw + x] = value;
    }
  }
}

// `frame` scaled into `previous` (the output buffer's bytes before, dw x dh),
// with `offset` rows above and below the image left as they were.
std::vector<uint8_t> ReferenceScale(const Frame& frame, long dw, long dh, long offset,
                                    std::vector<uint8_t> previous) {
  const long sw = frame.width;
  const long sh = frame.height;
  const long image = dh - 2 * offset;
  const uint8_t* src = frame.planes.data();
  uint8_t* dst = previous.data();
  ReferencePlane(src, sw, sh, dst + offset * dw, dw, image);
  const long src_chroma = (sw / 2) * (sh / 2);
  const long dst_chroma = (dw / 2) * (dh / 2);
  for (int plane = 0; plane < 2; ++plane) {
    ReferencePlane(src + sw * sh + plane * src_chroma, sw / 2, sh / 2,
                   dst + dw * dh + plane * dst_chroma + (offset / 2) * (dw / 2), dw / 2, image / 2);
  }
  return previous;
}

// ---------------------------------------------------------------------------
// The producer.

// The agent's side of the shared area, through the frame transport: every
// write under the named mutex, and a new counter for every new frame.
class Producer {
 public:
  Producer()
      : mutex_(tessel::Mutex::Create(kDeviceName)),
        memory_(tessel::SharedMemory::Create(kDeviceName, kSharedAreaBytes)) {}

  bool IsReady() const { return mutex_ != nullptr && memory_ != nullptr; }

  void Write(const Frame& frame, uint32_t counter) {
    WriteRaw(frame.planes, frame.width, frame.height, static_cast<uint32_t>(frame.planes.size()),
             counter);
  }

  // Any header at all, with as much of `data` as the area holds.
  void WriteRaw(const std::vector<uint8_t>& data, uint32_t width, uint32_t height,
                uint32_t frame_size, uint32_t counter) {
    ASSERT_TRUE(mutex_->Lock(true));
    tessel::SharedFrameArea* area = Area();
    memcpy(area->frameData, data.data(), std::min(data.size(), tessel::kFrameDataBytes));
    area->width = width;
    area->height = height;
    area->frameSize = frame_size;
    area->frameCounter = counter;
    ASSERT_TRUE(mutex_->Unlock());
  }

  // Takes the picture away, as a producer whose source stopped does.
  void Withdraw(uint32_t counter) {
    ASSERT_TRUE(mutex_->Lock(true));
    Area()->frameSize = 0;
    Area()->frameCounter = counter;
    ASSERT_TRUE(mutex_->Unlock());
  }

 private:
  tessel::SharedFrameArea* Area() {
    return static_cast<tessel::SharedFrameArea*>(memory_->GetAddress());
  }

  std::unique_ptr<tessel::Mutex> mutex_;
  std::unique_ptr<tessel::SharedMemory> memory_;
};

// Frees the named mutex at the end of a test that left it taken, so that
// the tests after it find it free whatever happened in between.
class FreeMutexAtExit {
 public:
  ~FreeMutexAtExit() {
    sem_t* semaphore = sem_open(SemaphoreName().c_str(), 0);
    if (semaphore == SEM_FAILED) return;
    int count = 1;
    if (sem_getvalue(semaphore, &count) == 0 && count == 0) sem_post(semaphore);
    sem_close(semaphore);
  }
};

class OrvidFramesTest : public OrvidHostTest {
 protected:
  // A capturing host with an open instance and its time base set.
  Host& StartCapture(const std::string& name = "Safari") {
    Host& host = StartHost(name);
    EXPECT_EQ(0, host.Open(0));
    EXPECT_EQ(0, host.SetTimeBase(0));
    return host;
  }

  std::string FramePath() { return folder_ + "/frame-" + std::to_string(++frames_) + ".yuv"; }

  // One poll that must hand out a frame of `size` bytes (the producer's
  // frameSize); returns the first `bytes` bytes of it.
  std::vector<uint8_t> TakeFrame(Host& host, long size, size_t bytes, int slot = 0) {
    const std::string path = FramePath();
    const PollAnswer poll = host.Poll(slot, path, bytes);
    EXPECT_EQ(0, poll.result);
    EXPECT_EQ(1, poll.ready);
    EXPECT_EQ(size, poll.size);
    EXPECT_EQ(0, poll.similarity);
    const std::string contents = ReadFile(path);
    return std::vector<uint8_t>(contents.begin(), contents.end());
  }

  // One poll that must hand out nothing, and leave the time record alone.
  void ExpectNoFrame(Host& host, int slot = 0) {
    const PollAnswer poll = host.Poll(slot);
    EXPECT_EQ(0, poll.result);
    EXPECT_EQ(0, poll.ready);
    EXPECT_EQ(0, poll.size);
    EXPECT_EQ(0, poll.similarity);
    EXPECT_EQ(-1, poll.value);
    EXPECT_EQ(-1, poll.scale);
  }

  void SetDigitizerSize(Host& host, int16_t width, int16_t height) {
    const Rect rect = {0, 0, height, width};
    EXPECT_EQ(0, host.CallWith(0, kVDSetDigitizerRectSelect, BytesArgument(rect)).result);
  }

  void Finish(Host& host) {
    EXPECT_EQ(0, host.Close(0));
    ExpectCleanExit(host);
  }

  int frames_ = 0;
};

// ---------------------------------------------------------------------------
// Copies and scaling.

TEST_F(OrvidFramesTest, FrameOfTheDigitizerSizeIsHandedOutByteForByte) {
  Host& host = StartCapture();
  Producer producer;
  ASSERT_TRUE(producer.IsReady());
  const Frame frame = RandomFrame(320, 240, 1);
  producer.Write(frame, 1);
  EXPECT_EQ(frame.planes, TakeFrame(host, 115200, 115200));
  Finish(host);
}

TEST_F(OrvidFramesTest, Frame640x480IsReducedByAreaAverage) {
  Host& host = StartCapture();
  Producer producer;
  const Frame frame = RandomFrame(640, 480, 2);
  producer.Write(frame, 1);
  // The size handed out is the producer's, not the 115,200 bytes written.
  const std::vector<uint8_t> output = TakeFrame(host, 460800, 115200);
  EXPECT_EQ(ReferenceScale(frame, 320, 240, 0, std::vector<uint8_t>(115200)), output);
  Finish(host);
}

TEST_F(OrvidFramesTest, Frame160x120IsEnlargedTwice) {
  Host& host = StartCapture();
  Producer producer;
  const Frame frame = RandomFrame(160, 120, 3);
  producer.Write(frame, 7);
  const std::vector<uint8_t> output = TakeFrame(host, 28800, 115200);
  ASSERT_EQ(115200u, output.size());
  // Every source sample becomes a 2 x 2 block, in each plane; no bands.
  for (long y = 0; y < 240; ++y) {
    for (long x = 0; x < 320; ++x) {
      ASSERT_EQ(frame.planes[(y / 2) * 160 + x / 2], output[y * 320 + x]) << x << "," << y;
    }
  }
  for (int plane = 0; plane < 2; ++plane) {
    const uint8_t* src = frame.planes.data() + 160 * 120 + plane * 80 * 60;
    const uint8_t* dst = output.data() + 320 * 240 + plane * 160 * 120;
    for (long y = 0; y < 120; ++y) {
      for (long x = 0; x < 160; ++x) ASSERT_EQ(src[(y / 2) * 80 + x / 2], dst[y * 160 + x]);
    }
  }
  Finish(host);
}

TEST_F(OrvidFramesTest, Frame640x360IsStretchedOverTheWholeFrame) {
  Host& host = StartCapture();
  Producer producer;
  const Frame frame = RandomFrame(640, 360, 4);
  producer.Write(frame, 1);
  const std::vector<uint8_t> output = TakeFrame(host, 345600, 115200);
  EXPECT_EQ(ReferenceScale(frame, 320, 240, 0, std::vector<uint8_t>(115200)), output);
  Finish(host);
}

TEST_F(OrvidFramesTest, Frame320x180IsCentredBetweenUntouchedBands) {
  Host& host = StartCapture();
  Producer producer;
  // First a full frame, so that the buffer's bytes are known.
  const Frame full = RandomFrame(320, 240, 5);
  producer.Write(full, 1);
  ASSERT_EQ(full.planes, TakeFrame(host, 115200, 115200));
  ASSERT_EQ(0, host.Release(0));

  const Frame wide = RandomFrame(320, 180, 6);
  producer.Write(wide, 2);
  const std::vector<uint8_t> output = TakeFrame(host, 86400, 115200);
  ASSERT_EQ(115200u, output.size());
  // Offset (240 - 180) / 2 = 30: luma rows 30 to 209 and chroma rows 15 to
  // 104 are the new frame; the rows above and below keep the old one.
  std::vector<uint8_t> expected = full.planes;
  memcpy(&expected[30 * 320], wide.planes.data(), 320 * 180);
  for (int plane = 0; plane < 2; ++plane) {
    memcpy(&expected[320 * 240 + plane * 160 * 120 + 15 * 160],
           &wide.planes[320 * 180 + plane * 160 * 90], 160 * 90);
  }
  EXPECT_EQ(expected, output);
  EXPECT_EQ(ReferenceScale(wide, 320, 240, 30, full.planes), output);
  Finish(host);
}

// Black in the output layout: luma 16, chroma 128.
std::vector<uint8_t> Black(long dw, long dh) {
  std::vector<uint8_t> black(dw * dh + 2 * (dw / 2) * (dh / 2), 128);
  std::fill(black.begin(), black.begin() + dw * dh, 16);
  return black;
}

TEST_F(OrvidFramesTest, BandsOfTheFirstLetterboxedFrameOfASizeAreBlack) {
  // The buffer is never cleared between frames, but before the first frame
  // of a size its bytes are no picture: uninitialised memory after Open, or
  // a frame of another size with another layout.
  Host& host = StartCapture();
  Producer producer;
  const Frame wide = RandomFrame(320, 180, 16);
  producer.Write(wide, 1);
  EXPECT_EQ(ReferenceScale(wide, 320, 240, 30, Black(320, 240)), TakeFrame(host, 86400, 115200));
  ASSERT_EQ(0, host.Release(0));

  // A size change: the 640 x 480 layout does not line up with the last
  // 320 x 240 frame.
  const Frame full = RandomFrame(320, 240, 17);
  producer.Write(full, 2);
  ASSERT_EQ(full.planes, TakeFrame(host, 115200, 115200));
  ASSERT_EQ(0, host.Release(0));
  SetDigitizerSize(host, 640, 480);
  const Frame cinema = RandomFrame(640, 360, 18);
  producer.Write(cinema, 3);
  EXPECT_EQ(ReferenceScale(cinema, 640, 480, 60, Black(640, 480)), TakeFrame(host, 345600, 460800));
  Finish(host);
}

TEST_F(OrvidFramesTest, FramesFollowTheDigitizerRectangleNotTheDescription) {
  Host& host = StartCapture();
  SetDigitizerSize(host, 160, 120);
  Producer producer;
  const Frame small = RandomFrame(160, 120, 8);
  producer.Write(small, 1);
  EXPECT_EQ(small.planes, TakeFrame(host, 28800, 28800));
  ASSERT_EQ(0, host.Release(0));

  const Frame full = RandomFrame(320, 240, 9);
  producer.Write(full, 2);
  EXPECT_EQ(ReferenceScale(full, 160, 120, 0, std::vector<uint8_t>(28800)),
            TakeFrame(host, 115200, 28800));

  // The description still announces 320 x 240.
  const CallAnswer description = host.CallWith(0, kVDGetImageDescriptionSelect, "handle:0");
  ASSERT_EQ(0, description.result);
  const std::string atoms = Hex(description.outputs.at(0).data(), description.outputs.at(0).size());
  EXPECT_NE(std::string::npos, atoms.find("0000000c656e637700000140")) << atoms;  // 'encw' 320
  EXPECT_NE(std::string::npos, atoms.find("0000000c656e6368000000f0")) << atoms;  // 'ench' 240
  Finish(host);
}

// Below 16 pixels of width, a half- or quarter-width source enlarged by the
// whole factor can be taller than the destination; it must fill the frame,
// not be placed with a negative band.
TEST_F(OrvidFramesTest, NarrowDestinationIsFilledWithoutBands) {
  Host& host = StartCapture();
  SetDigitizerSize(host, 10, 8);
  Producer producer;
  const Frame marker = FilledFrame(10, 8, 0x11);
  producer.Write(marker, 1);
  ASSERT_EQ(marker.planes, TakeFrame(host, 120, 120));
  ASSERT_EQ(0, host.Release(0));

  // 2 = 10 / 4 wide and 2 <= 8 / 4 high, but 10 / 2 * 2 = 10 rows > 8.
  const Frame tiny = RandomFrame(2, 2, 10);
  producer.Write(tiny, 2);
  const std::vector<uint8_t> output = TakeFrame(host, 6, 120);
  EXPECT_EQ(ReferenceScale(tiny, 10, 8, 0, marker.planes), output);
  for (uint8_t sample : output) EXPECT_NE(0x11, sample);
  Finish(host);
}

// ---------------------------------------------------------------------------
// Which frames are handed out.

TEST_F(OrvidFramesTest, NoFrameIsHandedOutTwice) {
  Host& host = StartCapture();
  Producer producer;
  ExpectNoFrame(host);  // an all-zero area is no frame

  const Frame first = RandomFrame(320, 240, 11);
  producer.Write(first, 1);
  EXPECT_EQ(first.planes, TakeFrame(host, 115200, 115200));
  // Without a release nothing more comes, even a new frame.
  producer.Write(RandomFrame(320, 240, 12), 2);
  ExpectNoFrame(host);
  const Frame newest = RandomFrame(320, 240, 13);
  producer.Write(newest, 3);
  ExpectNoFrame(host);
  // After the release the newest frame; the one in between is skipped.
  EXPECT_EQ(0, host.Release(0));
  EXPECT_EQ(newest.planes, TakeFrame(host, 115200, 115200));
  EXPECT_EQ(0, host.Release(0));
  // The counter unchanged: nothing new, even with new planes.
  producer.Write(RandomFrame(320, 240, 14), 3);
  ExpectNoFrame(host);
  ExpectNoFrame(host);
  Finish(host);
}

TEST_F(OrvidFramesTest, CounterOfAllOnesIsDeliveredOnlyOnceItChanges) {
  Host& host = StartCapture();
  Producer producer;
  producer.Write(RandomFrame(320, 240, 15), 0xFFFFFFFF);
  ExpectNoFrame(host);
  const Frame next = RandomFrame(320, 240, 16);
  producer.Write(next, 0);
  EXPECT_EQ(next.planes, TakeFrame(host, 115200, 115200));
  Finish(host);
}

TEST_F(OrvidFramesTest, WithdrawnPictureIsNoFrameAndNotRemembered) {
  Host& host = StartCapture();
  Producer producer;
  producer.Withdraw(5);
  ExpectNoFrame(host);
  ExpectNoFrame(host);
  // The same counter with a picture is delivered.
  const Frame frame = RandomFrame(320, 240, 17);
  producer.Write(frame, 5);
  EXPECT_EQ(frame.planes, TakeFrame(host, 115200, 115200));
  EXPECT_EQ(0, host.Release(0));
  producer.Withdraw(6);
  ExpectNoFrame(host);
  Finish(host);
}

TEST_F(OrvidFramesTest, StopAndStartOfCaptureDoNotDeliverAFrameAgain) {
  Host& host = StartCapture();
  Producer producer;
  producer.Write(RandomFrame(320, 240, 18), 1);
  TakeFrame(host, 115200, 0);
  EXPECT_EQ(0, host.Release(0));
  EXPECT_EQ(0, host.CallWith(0, kVDCaptureStateChangingSelect, "s32:2").result);
  EXPECT_EQ(0, host.CallWith(0, kVDCaptureStateChangingSelect, "s32:1").result);
  ExpectNoFrame(host);
  const Frame next = RandomFrame(320, 240, 19);
  producer.Write(next, 2);
  EXPECT_EQ(next.planes, TakeFrame(host, 115200, 115200));
  Finish(host);
}

TEST_F(OrvidFramesTest, TwoCapturingProcessesEachReceiveEveryFrame) {
  Host& browser = StartCapture("Safari");
  Host& other = StartCapture("firefox-bin");
  Producer producer;
  for (uint32_t counter = 1; counter <= 3; ++counter) {
    SCOPED_TRACE(counter);
    const Frame frame = RandomFrame(320, 240, 20 + counter);
    producer.Write(frame, counter);
    EXPECT_EQ(frame.planes, TakeFrame(browser, 115200, 115200));
    EXPECT_EQ(frame.planes, TakeFrame(other, 115200, 115200));
    EXPECT_EQ(0, browser.Release(0));
    EXPECT_EQ(0, other.Release(0));
    ExpectNoFrame(browser);
    ExpectNoFrame(other);
  }
  Finish(browser);
  Finish(other);
}

TEST_F(OrvidFramesTest, StoppedProducerLeavesPollsWithoutAFrame) {
  Host& host = StartCapture();
  const Frame frame = RandomFrame(320, 240, 30);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Producer producer;
    if (!producer.IsReady()) _exit(1);
    producer.Write(frame, 1);
    _exit(0);  // ends without closing anything, as a crash would
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  EXPECT_EQ(frame.planes, TakeFrame(host, 115200, 115200));
  EXPECT_EQ(0, host.Release(0));
  for (int i = 0; i < 3; ++i) {
    const PollAnswer poll = host.Poll(0);
    EXPECT_EQ(0, poll.ready);
    EXPECT_LT(poll.microseconds, kLockBoundMicroseconds);  // the mutex is free
  }
  Finish(host);
}

TEST_F(OrvidFramesTest, PollGivesUpOnAMutexHeldByAKilledProcess) {
  LogEverything();
  Host& host = StartCapture();
  Producer producer;
  FreeMutexAtExit free_mutex;
  // A producer that dies in the middle of a frame, holding the mutex.
  int ready_pipe[2];
  ASSERT_EQ(0, pipe(ready_pipe));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready_pipe[0]);
    tessel::Mutex* mutex = tessel::Mutex::Create(kDeviceName);
    if (mutex == nullptr || !mutex->Lock(true)) _exit(1);
    const char taken = 1;
    if (write(ready_pipe[1], &taken, 1) != 1) _exit(1);
    for (;;) pause();
  }
  close(ready_pipe[1]);
  char taken = 0;
  ASSERT_EQ(1, read(ready_pipe[0], &taken, 1));
  close(ready_pipe[0]);
  kill(child, SIGKILL);
  ASSERT_EQ(child, waitpid(child, nullptr, 0));
  ASSERT_EQ(0, SemaphoreCount());

  // Each poll waits the bound, then answers no frame.
  for (int i = 0; i < 2; ++i) {
    const PollAnswer poll = host.Poll(0);
    EXPECT_EQ(0, poll.result);
    EXPECT_EQ(0, poll.ready);
    EXPECT_EQ(-1, poll.value);
    EXPECT_GE(poll.microseconds, kLockBoundMicroseconds);
    EXPECT_LT(poll.microseconds, 20 * kLockBoundMicroseconds);
  }
  const std::vector<std::string> log = Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ("Warning(sharedmem.cc:N): Timed out after 100 ms waiting for the semaphore '" +
                SemaphoreName() + "'",
            log.back());

  // Once someone frees the mutex, frames flow again.
  sem_t* semaphore = sem_open(SemaphoreName().c_str(), 0);
  ASSERT_NE(SEM_FAILED, semaphore);
  sem_post(semaphore);
  sem_close(semaphore);
  const Frame frame = RandomFrame(320, 240, 31);
  producer.Write(frame, 1);
  EXPECT_EQ(frame.planes, TakeFrame(host, 115200, 115200));
  Finish(host);
  EXPECT_EQ(1, SemaphoreCount());
}

// ---------------------------------------------------------------------------
// Headers that describe no frame.

TEST_F(OrvidFramesTest, MalformedHeadersAreNoFrames) {
  LogEverything();
  Host& host = StartCapture();
  Producer producer;
  const std::vector<uint8_t> data(tessel::kFrameDataBytes, 0x5A);
  const struct {
    uint32_t frame_size, width, height;
  } headers[] = {
      {460801, 640, 480},          // more than the area holds
      {0xFFFFFFFF, 640, 480},      //
      {115200, 0, 240},            // no columns: the scaler would divide by 0
      {115200, 320, 0},            // no rows
      {460800, 642, 480},          // planes larger than the area
      {460800, 0x10000, 0x10000},  // planes whose size wraps in 32 bits
      {1000, 320, 240},            // fewer bytes than the planes: stale bytes
      {115199, 320, 240},          //
      {115201, 320, 240},          // more bytes than the planes
  };
  uint32_t counter = 0;
  for (const auto& header : headers) {
    SCOPED_TRACE(std::to_string(header.frame_size) + " " + std::to_string(header.width) + "x" +
                 std::to_string(header.height));
    producer.WriteRaw(data, header.width, header.height, header.frame_size, ++counter);
    ExpectNoFrame(host);
    ExpectNoFrame(host);
    // One warning for each bad frame, however often it is polled.
    const std::vector<std::string> log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(
        "Warning(orvidmac.cc:N): Orvid 0: OrvidCompressDone: Ignoring a malformed frame: "
        "frameSize=" +
            std::to_string(header.frame_size) + ", width=" + std::to_string(header.width) +
            ", height=" + std::to_string(header.height),
        log.back());
    const auto warnings = std::count_if(log.begin(), log.end(), [](const std::string& line) {
      return line.find("malformed") != std::string::npos;
    });
    EXPECT_EQ(counter, static_cast<uint32_t>(warnings));
  }
  // A well-formed frame after them is delivered.
  const Frame frame = RandomFrame(320, 240, 40);
  producer.Write(frame, ++counter);
  EXPECT_EQ(frame.planes, TakeFrame(host, 115200, 115200));
  Finish(host);
}

// ---------------------------------------------------------------------------
// The buffer handed out.

TEST_F(OrvidFramesTest, ClosingWithTheBufferOutLetsTheNextInstanceDeliver) {
  Host& host = StartCapture();
  Producer producer;
  producer.Write(RandomFrame(320, 240, 50), 1);
  TakeFrame(host, 115200, 0);
  // Closed without giving the frame back.
  ASSERT_EQ(0, host.Close(0));

  ASSERT_EQ(0, host.Open(0));
  const Frame frame = RandomFrame(320, 240, 51);
  producer.Write(frame, 2);
  EXPECT_EQ(frame.planes, TakeFrame(host, 115200, 115200));
  Finish(host);
}

TEST_F(OrvidFramesTest, RefusedSecondInstanceLeavesTheFirstsBufferOut) {
  Host& host = StartCapture();
  Producer producer;
  producer.Write(RandomFrame(320, 240, 52), 1);
  TakeFrame(host, 115200, 0);
  // The refused instance is closed at once; the first one's frame stays out.
  ASSERT_EQ(-2090, host.Open(1));
  const Frame frame = RandomFrame(320, 240, 53);
  producer.Write(frame, 2);
  ExpectNoFrame(host);
  EXPECT_EQ(0, host.Release(0));
  EXPECT_EQ(frame.planes, TakeFrame(host, 115200, 115200));
  Finish(host);
}

// ---------------------------------------------------------------------------
// Time stamps.

TEST_F(OrvidFramesTest, FramesAreStampedWithTheHostsTimeIn3000ths) {
  Host& host = StartHost("Safari");
  ASSERT_EQ(0, host.Open(0));
  Producer producer;
  // Before the host gives a time base: time 0 in the preferred scale.
  producer.Write(RandomFrame(320, 240, 60), 1);
  PollAnswer poll = host.Poll(0);
  ASSERT_EQ(1, poll.ready);
  EXPECT_EQ(0, poll.value);
  EXPECT_EQ(3000, poll.scale);
  EXPECT_EQ("null", poll.base);
  ASSERT_EQ(0, host.Release(0));

  ASSERT_EQ(0, host.SetTimeBase(0));
  long long previous = -1;
  for (uint32_t counter = 2; counter <= 4; ++counter) {
    // Let the host's clock move on by at least one unit first.
    while (host.Time() <= previous) {
    }
    const long long before = host.Time();
    producer.Write(RandomFrame(320, 240, 60 + counter), counter);
    poll = host.Poll(0);
    const long long after = host.Time();
    ASSERT_EQ(1, poll.ready);
    EXPECT_EQ(3000, poll.scale);
    EXPECT_EQ("host", poll.base);
    EXPECT_GE(poll.value, before);
    EXPECT_LE(poll.value, after);
    EXPECT_GT(poll.value, previous);
    previous = poll.value;
    ASSERT_EQ(0, host.Release(0));
  }
  Finish(host);
}

}  // namespace
