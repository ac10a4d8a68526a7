// Time bases: their time against the monotonic clock, in various scales, and
// what they answer for bases that are not live.
#include "platform/timebase.h"

#include <time.h>

#include <atomic>
#include <thread>
#include <vector>

#include "gtest/gtest.h"

namespace {

constexpr TimeScale kNanoseconds = 1000000000;

SInt64 MonotonicNanoseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<SInt64>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

TEST(TimeBase, CountsTheTimeSinceItWasMade) {
  const SInt64 before_new = MonotonicNanoseconds();
  TimeBase tb = NewTimeBase();
  const SInt64 after_new = MonotonicNanoseconds();
  ASSERT_NE(nullptr, tb);
  for (int i = 0; i < 3; ++i) {
    const SInt64 before = MonotonicNanoseconds();
    TimeRecord record = {-1, -1, nullptr};
    const TimeValue value = GetTimeBaseTime(tb, kNanoseconds, &record);
    const SInt64 after = MonotonicNanoseconds();
    // Between what the clock says from the end of NewTimeBase to the start
    // of the call, and from the start of NewTimeBase to the end of the call.
    EXPECT_GE(value, before - after_new);
    EXPECT_LE(value, after - before_new);
    EXPECT_EQ(value, record.value);
    EXPECT_EQ(kNanoseconds, record.scale);
    EXPECT_EQ(tb, record.base);
  }
  DisposeTimeBase(tb);
}

TEST(TimeBase, AnswersInTheScaleAskedFor) {
  TimeBase tb = NewTimeBase();
  ASSERT_NE(nullptr, tb);
  // Wait (on the base itself) until a few milliseconds have passed.
  while (GetTimeBaseTime(tb, 1000, nullptr) < 3) {
  }
  const TimeValue ms_before = GetTimeBaseTime(tb, 1000, nullptr);
  const TimeValue thirds = GetTimeBaseTime(tb, 3000, nullptr);
  const TimeValue us = GetTimeBaseTime(tb, 1000000, nullptr);
  const TimeValue ms_after = GetTimeBaseTime(tb, 1000, nullptr);
  // Rounded down in each scale, and read one after the other.
  EXPECT_GE(thirds, 3 * ms_before);
  EXPECT_LT(thirds, 3 * (ms_after + 1));
  EXPECT_GE(us, thirds * 1000 / 3);
  EXPECT_LT(us, 1000 * (ms_after + 1));
  DisposeTimeBase(tb);
}

TEST(TimeBase, NeverGoesBack) {
  TimeBase tb = NewTimeBase();
  ASSERT_NE(nullptr, tb);
  TimeValue previous = 0;
  for (int i = 0; i < 10000; ++i) {
    const TimeValue value = GetTimeBaseTime(tb, kNanoseconds, nullptr);
    ASSERT_GE(value, previous);
    previous = value;
  }
  DisposeTimeBase(tb);
}

TEST(TimeBase, EachBaseStartsAtItsOwnCreation) {
  TimeBase older = NewTimeBase();
  ASSERT_NE(nullptr, older);
  while (GetTimeBaseTime(older, 1000000, nullptr) < 2000) {
  }
  TimeBase newer = NewTimeBase();
  ASSERT_NE(nullptr, newer);
  const TimeValue newer_us = GetTimeBaseTime(newer, 1000000, nullptr);
  const TimeValue older_us = GetTimeBaseTime(older, 1000000, nullptr);
  EXPECT_GE(older_us - newer_us, 2000);
  DisposeTimeBase(newer);
  DisposeTimeBase(older);
}

TEST(TimeBase, BasesThatAreNotLiveAnswerZero) {
  TimeBase tb = NewTimeBase();
  ASSERT_NE(nullptr, tb);
  DisposeTimeBase(tb);
  DisposeTimeBase(tb);       // a second dispose is ignored
  DisposeTimeBase(nullptr);  // and so is null
  int not_a_base = 0;
  for (TimeBase dead :
       {tb, static_cast<TimeBase>(nullptr), reinterpret_cast<TimeBase>(&not_a_base)}) {
    TimeRecord record = {-1, -1, nullptr};
    EXPECT_EQ(0, GetTimeBaseTime(dead, 3000, &record));
    EXPECT_EQ(0, record.value);
    EXPECT_EQ(3000, record.scale);
    EXPECT_EQ(dead, record.base);
  }
}

TEST(TimeBase, ScalesOfZeroOrBelowAnswerZero) {
  TimeBase tb = NewTimeBase();
  ASSERT_NE(nullptr, tb);
  while (GetTimeBaseTime(tb, 1000, nullptr) < 1) {
  }
  for (TimeScale scale : {0, -1, -3000}) {
    TimeRecord record = {-1, -1, nullptr};
    EXPECT_EQ(0, GetTimeBaseTime(tb, scale, &record));
    EXPECT_EQ(0, record.value);
    EXPECT_EQ(scale, record.scale);
    EXPECT_EQ(tb, record.base);
  }
  DisposeTimeBase(tb);
}

TEST(TimeBase, TheLargestScaleDoesNotOverflow) {
  TimeBase tb = NewTimeBase();
  ASSERT_NE(nullptr, tb);
  while (GetTimeBaseTime(tb, 1000, nullptr) < 2) {
  }
  // 2^31 - 1 units a second: about 2 ms are over 4 million units.
  const TimeValue value = GetTimeBaseTime(tb, 0x7FFFFFFF, nullptr);
  EXPECT_GE(value, 4000000);
  EXPECT_LT(value, 0x7FFFFFFFLL * 60);  // under a minute
  DisposeTimeBase(tb);
}

TEST(TimeBase, ManyThreadsMakeReadAndDisposeBases) {
  TimeBase shared = NewTimeBase();
  ASSERT_NE(nullptr, shared);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      TimeValue previous = 0;
      for (int i = 0; i < 1000; ++i) {
        TimeBase own = NewTimeBase();
        if (own == nullptr) ++failures;
        const TimeValue value = GetTimeBaseTime(shared, kNanoseconds, nullptr);
        if (value < previous) ++failures;
        previous = value;
        DisposeTimeBase(own);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, failures.load());
  DisposeTimeBase(shared);
}

}  // namespace
