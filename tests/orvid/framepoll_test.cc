// The camera's frame rules in process: which headers are taken, when a
// counter counts as new, the letterbox rule, black bands for a stale
// buffer, and the bounded wait for the producer's lock (a real named
// semaphore of its own name).
#include "orvid/framepoll.h"

#include <semaphore.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "scaler/yuvscaler.h"

namespace orvid {
namespace {

using tessel::PlanarFrameBytes;
using tessel::SharedFrameArea;

class FramePollTest : public ::testing::Test {
 protected:
  FramePollTest() : area_(std::make_unique<SharedFrameArea>()), state_(FreshPollState()) {}

  // Publishes a w x h frame whose bytes start at `seed`, as the producer
  // does: planes, header, and the next counter.
  void Publish(uint32_t w, uint32_t h, uint8_t seed) {
    const uint64_t bytes = PlanarFrameBytes(w, h);
    for (uint64_t i = 0; i < bytes; ++i) area_->frameData[i] = static_cast<uint8_t>(seed + i * 7);
    area_->width = w;
    area_->height = h;
    area_->frameSize = static_cast<uint32_t>(bytes);
    ++area_->frameCounter;
  }

  PollOutcome Poll(uint32_t dw, uint32_t dh, FrameHeader* header = nullptr) {
    buffer_.resize(tessel::kFrameDataBytes, 0xEE);
    return CopyNewFrame(*area_, PollTarget{buffer_.data(), dw, dh}, &state_, header);
  }

  std::vector<uint8_t> Taken(uint32_t dw, uint32_t dh) const {
    return std::vector<uint8_t>(buffer_.begin(), buffer_.begin() + PlanarFrameBytes(dw, dh));
  }

  std::unique_ptr<SharedFrameArea> area_;
  PollState state_;
  std::vector<uint8_t> buffer_;
};

TEST_F(FramePollTest, CountersDecideWhatIsNew) {
  EXPECT_EQ(kNoFrameTaken, state_.last_counter);
  EXPECT_TRUE(state_.buffer_stale);
  EXPECT_EQ(PollOutcome::kNothingNew, Poll(320, 240));  // an empty area: no picture

  area_->frameCounter = 0xFFFFFFFEu;  // any counter but kNoFrameTaken is new at first
  Publish(320, 240, 1);
  EXPECT_EQ(0xFFFFFFFFu, area_->frameCounter);
  EXPECT_EQ(PollOutcome::kNothingNew, Poll(320, 240));  // ...and that one is not
  Publish(320, 240, 2);
  FrameHeader header = {};
  EXPECT_EQ(PollOutcome::kTaken, Poll(320, 240, &header));
  EXPECT_EQ(115200u, header.frame_size);
  EXPECT_FALSE(state_.buffer_stale);
  EXPECT_EQ(PollOutcome::kNothingNew, Poll(320, 240));  // taken once only

  // A withdrawn picture is not remembered: its counter with a picture is new.
  Publish(320, 240, 3);
  const uint32_t size = area_->frameSize;
  area_->frameSize = 0;
  EXPECT_EQ(PollOutcome::kNothingNew, Poll(320, 240));
  area_->frameSize = size;
  EXPECT_EQ(PollOutcome::kTaken, Poll(320, 240));
}

TEST_F(FramePollTest, MalformedHeadersAreRefusedOnceAndNothingIsRead) {
  struct Case {
    uint32_t size, width, height;
  };
  const Case cases[] = {
      {115199, 320, 240},   // short of its planes: stale bytes would show
      {115201, 320, 240},   // more than its planes
      {115200, 0, 240},     // no width
      {460801, 640, 480},   // past the data area
      {1000, 642, 480},     // planes that do not fit
      {4294967295u, 65535, 65535},
  };
  for (const Case& c : cases) {
    Publish(2, 2, 0);
    area_->frameSize = c.size;
    area_->width = c.width;
    area_->height = c.height;
    FrameHeader header = {};
    EXPECT_EQ(PollOutcome::kMalformed, Poll(320, 240, &header)) << c.size;
    EXPECT_EQ(c.size, header.frame_size);
    EXPECT_EQ(c.width, header.width);
    EXPECT_EQ(PollOutcome::kNothingNew, Poll(320, 240)) << "reported once";
    EXPECT_EQ(0xEE, buffer_[0]) << "nothing was written";
  }
  EXPECT_TRUE(IsWellFormedFrame(460800, 640, 480));
  EXPECT_TRUE(IsWellFormedFrame(PlanarFrameBytes(1, 1), 1, 1));
  EXPECT_TRUE(IsWellFormedFrame(PlanarFrameBytes(3, 5), 3, 5));
}

TEST_F(FramePollTest, SameSizeIsCopiedOtherSizesAreScaled) {
  Publish(320, 240, 9);
  ASSERT_EQ(PollOutcome::kTaken, Poll(320, 240));
  EXPECT_EQ(std::vector<uint8_t>(area_->frameData, area_->frameData + 115200), Taken(320, 240));

  Publish(640, 480, 5);
  ASSERT_EQ(PollOutcome::kTaken, Poll(320, 240));
  std::vector<uint8_t> expected(115200);
  YuvScaler::Scale(area_->frameData, 640, 480, expected.data(), 320, 240, 0, true);
  EXPECT_EQ(expected, Taken(320, 240));
}

TEST(LetterboxRule, CentresSourcesOfTheWidthOrAWholeFraction) {
  struct Case {
    uint32_t sw, sh, dw, dh;
    long offset;
  };
  const Case cases[] = {
      {320, 180, 320, 240, 30},  // the destination's width, fewer rows
      {320, 240, 320, 240, 0},   // equal
      {160, 90, 320, 240, 30},   // half the width: doubled to 180 rows
      {160, 120, 320, 240, 0},   // half each way: fills it
      {80, 45, 320, 240, 30},    // a quarter: times four, 180 rows
      {80, 61, 320, 240, 0},     // a quarter of the width but too tall to centre
      {176, 144, 320, 240, 0},   // any other: stretched
      {640, 360, 320, 240, 0},   // reductions are stretched
      {1, 1, 3, 3, 0},           // 3 / 1 would exceed the rows: fills
      {1, 1, 4, 9, 2},           // a quarter of 4 is 1: 4 rows centred in 9
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.offset, LetterboxOffset(c.sw, c.sh, c.dw, c.dh))
        << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh;
  }
}

TEST_F(FramePollTest, BandsOfAStaleBufferAreBlackThenKept) {
  Publish(320, 180, 40);
  ASSERT_EQ(PollOutcome::kTaken, Poll(320, 240));
  std::vector<uint8_t> expected(115200);
  PaintBlack(expected.data(), 320, 240);
  YuvScaler::Scale(area_->frameData, 320, 180, expected.data(), 320, 240, 30, true);
  EXPECT_EQ(expected, Taken(320, 240));
  EXPECT_EQ(16, expected[0]);            // top band, luma
  EXPECT_EQ(128, expected[115200 - 1]);  // bottom band, second chroma plane

  // Later frames of this size leave the bands as they are (a host may have
  // drawn into them); after a change of size they are painted again.
  buffer_[0] = 77;
  Publish(320, 180, 41);
  ASSERT_EQ(PollOutcome::kTaken, Poll(320, 240));
  EXPECT_EQ(77, buffer_[0]);
  state_.buffer_stale = true;
  Publish(320, 180, 42);
  ASSERT_EQ(PollOutcome::kTaken, Poll(320, 240));
  EXPECT_EQ(16, buffer_[0]);
}

TEST(TakeNewFrame, WaitsForTheLockBoundedlyAndKeepsTheFrameForLater) {
  const std::string name = "orvid-framepoll-test-" + std::to_string(getpid());
  std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name));
  std::unique_ptr<tessel::Mutex> producer(tessel::Mutex::Create(name));
  ASSERT_TRUE(mutex && producer);
  auto area = std::make_unique<SharedFrameArea>();
  area->width = 2;
  area->height = 2;
  area->frameSize = static_cast<uint32_t>(PlanarFrameBytes(2, 2));
  area->frameCounter = 1;
  std::vector<uint8_t> buffer(PlanarFrameBytes(2, 2));
  PollState state = FreshPollState();
  const PollTarget target = {buffer.data(), 2, 2};

  ASSERT_EQ(tessel::Mutex::kTaken, producer->TakeWithin(0));  // the producer is writing
  EXPECT_EQ(PollOutcome::kLockBusy, TakeNewFrame(mutex.get(), *area, target, &state, nullptr, 20));
  EXPECT_EQ(kNoFrameTaken, state.last_counter);  // nothing was read
  ASSERT_TRUE(producer->Unlock());
  EXPECT_EQ(PollOutcome::kTaken, TakeNewFrame(mutex.get(), *area, target, &state));
  EXPECT_EQ(tessel::Mutex::kTaken, producer->TakeWithin(0)) << "the poll released the lock";
  ASSERT_TRUE(producer->Unlock());
  mutex.reset();
  producer.reset();
  sem_unlink(tessel::SemaphoreName(name).c_str());
}

TEST(ScalingWorkRule, BoundsWhatOneFrameMayCostTheScaler) {
  EXPECT_TRUE(ScalingWorkFits(640, 480, 320, 240));
  EXPECT_TRUE(ScalingWorkFits(320, 240, 640, 480));
  EXPECT_TRUE(ScalingWorkFits(2560, 120, 640, 480));   // exactly the bound
  EXPECT_FALSE(ScalingWorkFits(2561, 120, 640, 480));  // one column more
  EXPECT_FALSE(ScalingWorkFits(1, 460800, 320, 240));  // a line, scaled to a picture
  EXPECT_FALSE(ScalingWorkFits(460800, 1, 1, 460800));
  EXPECT_TRUE(ScalingWorkFits(1, 1, 640, 480));
}

TEST_F(FramePollTest, AFrameTooCostlyToScaleIsRefusedOnceAndNothingIsWritten) {
  Publish(1, 460800, 3);
  FrameHeader header = {};
  EXPECT_EQ(PollOutcome::kTooCostly, Poll(320, 240, &header));
  EXPECT_EQ(1u, header.width);
  EXPECT_EQ(460800u, header.height);
  EXPECT_EQ(0xEE, buffer_[0]);
  EXPECT_EQ(0xEE, buffer_[PlanarFrameBytes(320, 240) - 1]);
  EXPECT_EQ(PollOutcome::kNothingNew, Poll(320, 240));  // remembered
  Publish(640, 480, 5);
  EXPECT_EQ(PollOutcome::kTaken, Poll(320, 240));  // the next ordinary frame comes through
}

TEST_F(FramePollTest, TakeNewFrameScalesFromTheStagingCopyAsCopyNewFrameDoes) {
  const std::string name = "orvid-framepoll-staging-" + std::to_string(getpid());
  std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name));
  ASSERT_TRUE(mutex);
  Publish(352, 288, 9);
  ASSERT_EQ(PollOutcome::kTaken, Poll(320, 240));
  const std::vector<uint8_t> expected = Taken(320, 240);

  state_ = FreshPollState();
  std::vector<uint8_t> buffer(PlanarFrameBytes(320, 240), 0xEE);
  std::vector<uint8_t> staging(tessel::kFrameDataBytes, 0);
  const PollTarget target = {buffer.data(), 320, 240, staging.data()};
  EXPECT_EQ(PollOutcome::kTaken, TakeNewFrame(mutex.get(), *area_, target, &state_));
  EXPECT_TRUE(buffer == expected);
  // The staging buffer holds the frame as the area did.
  EXPECT_EQ(0, memcmp(staging.data(), area_->frameData, PlanarFrameBytes(352, 288)));
  EXPECT_EQ(tessel::Mutex::kTaken, mutex->TakeWithin(0)) << "the poll released the lock";
  ASSERT_TRUE(mutex->Unlock());
  mutex.reset();
  sem_unlink(tessel::SemaphoreName(name).c_str());
}

}  // namespace
}  // namespace orvid
