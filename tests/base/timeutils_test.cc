#include "base/timeutils.h"

#include <sys/time.h>

#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace lumen_base {
namespace {

TEST(TimeUtils, ComparisonsSurviveTheWrap) {
  EXPECT_TRUE(TimeIsLater(0xFFFFFFF0u, 0x10u));  // 0x10 is 32 ms after the wrap
  EXPECT_FALSE(TimeIsLater(0x10u, 0xFFFFFFF0u));
  EXPECT_TRUE(TimeIsLaterOrEqual(0xFFFFFFF0u, 0x10u));
  EXPECT_FALSE(TimeIsLaterOrEqual(0x10u, 0xFFFFFFF0u));
  EXPECT_EQ(10, TimeDiff(5u, 0xFFFFFFFBu));
  EXPECT_EQ(-10, TimeDiff(0xFFFFFFFBu, 5u));
}

TEST(TimeUtils, EqualTimesAreLaterOrEqualButNotLater) {
  for (uint32_t t : {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
    EXPECT_TRUE(TimeIsLaterOrEqual(t, t)) << t;
    EXPECT_FALSE(TimeIsLater(t, t)) << t;
    EXPECT_EQ(0, TimeDiff(t, t));
  }
}

TEST(TimeUtils, HalfRangeIsTheLimitOfOrdering) {
  // Just under half the range apart still orders correctly; exactly half
  // reads as the past (the signed difference is INT32_MIN).
  EXPECT_TRUE(TimeIsLater(0u, 0x7FFFFFFFu));
  EXPECT_FALSE(TimeIsLater(0u, 0x80000000u));
  EXPECT_EQ(INT32_MIN, TimeDiff(0x80000000u, 0u));
}

TEST(TimeUtils, BetweenIncludesBothEndsAndWraps) {
  EXPECT_TRUE(TimeIsBetween(0xFFFFFF00u, 0x10u, 0x100u));   // wrapped interval
  EXPECT_TRUE(TimeIsBetween(0xFFFFFF00u, 0xFFFFFF80u, 0x100u));
  EXPECT_FALSE(TimeIsBetween(0xFFFFFF00u, 0x200u, 0x100u));
  EXPECT_FALSE(TimeIsBetween(0x100u, 0x10u, 0x200u));
  EXPECT_TRUE(TimeIsBetween(5u, 5u, 5u));
  EXPECT_TRUE(TimeIsBetween(5u, 5u, 9u));
  EXPECT_TRUE(TimeIsBetween(5u, 9u, 9u));
  EXPECT_FALSE(TimeIsBetween(5u, 10u, 9u));
  EXPECT_FALSE(TimeIsBetween(5u, 4u, 9u));
}

TEST(TimeUtils, TimeFollowsTheWallClockInWrappingMilliseconds) {
  struct timeval before, after;
  gettimeofday(&before, nullptr);
  uint32_t now = Time();
  gettimeofday(&after, nullptr);
  uint32_t lo = static_cast<uint32_t>(before.tv_sec) * 1000u +
                static_cast<uint32_t>(before.tv_usec) / 1000u;
  uint32_t hi = static_cast<uint32_t>(after.tv_sec) * 1000u +
                static_cast<uint32_t>(after.tv_usec) / 1000u;
  EXPECT_TRUE(TimeIsBetween(lo, now, hi)) << lo << " " << now << " " << hi;
}

TEST(TimeUtils, AfterSinceAndUntilAreRelativeToNow) {
  uint32_t past = TimeAfter(-5000);
  EXPECT_GE(TimeSince(past), 5000);
  EXPECT_LT(TimeSince(past), 60000);
  EXPECT_LE(TimeUntil(past), -5000);
  uint32_t future = TimeAfter(5000);
  EXPECT_GT(TimeUntil(future), 0);
  EXPECT_LE(TimeUntil(future), 5000);
  EXPECT_TRUE(TimeIsLater(past, future));
}

TEST(TimeUtils, StartTimeIsTakenOnceEvenWhenCallsRace) {
  std::vector<uint32_t> seen(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = StartTime(); });
  }
  for (auto& t : threads) t.join();
  for (uint32_t value : seen) EXPECT_EQ(seen[0], value);
  EXPECT_EQ(seen[0], StartTime());
  EXPECT_GE(TimeSince(StartTime()), 0);
}

}  // namespace
}  // namespace lumen_base
