#include "base/timeutils.h"

#include <sys/time.h>

namespace lumen_base {

uint32_t Time() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  // Unsigned arithmetic: the product wraps instead of overflowing.
  return static_cast<uint32_t>(tv.tv_sec) * 1000u + static_cast<uint32_t>(tv.tv_usec) / 1000u;
}

uint32_t StartTime() {
  // Function-local static: initialised once, thread-safely.
  static const uint32_t start_time = Time();
  return start_time;
}

uint32_t TimeAfter(int32_t elapsed) { return Time() + static_cast<uint32_t>(elapsed); }

bool TimeIsBetween(uint32_t earlier, uint32_t middle, uint32_t later) {
  if (earlier <= later) return earlier <= middle && middle <= later;
  return middle >= earlier || middle <= later;
}

bool TimeIsLaterOrEqual(uint32_t earlier, uint32_t later) {
  return TimeDiff(later, earlier) >= 0;
}

bool TimeIsLater(uint32_t earlier, uint32_t later) { return TimeDiff(later, earlier) > 0; }

int32_t TimeDiff(uint32_t later, uint32_t earlier) {
  // The unsigned difference taken as signed survives the wrap.
  return static_cast<int32_t>(later - earlier);
}

int32_t TimeSince(uint32_t earlier) { return TimeDiff(Time(), earlier); }

int32_t TimeUntil(uint32_t later) { return TimeDiff(later, Time()); }

timespec MonotonicNow() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

timespec MonotonicAfter(const timespec& start, int ms) {
  if (ms < 0) ms = 0;
  timespec end = start;
  end.tv_sec += ms / 1000;
  end.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (end.tv_nsec >= 1000000000L) {
    end.tv_sec += 1;
    end.tv_nsec -= 1000000000L;
  }
  return end;
}

timespec MonotonicDeadline(int ms) { return MonotonicAfter(MonotonicNow(), ms); }

bool MonotonicHasPassed(const timespec& deadline, const timespec& now) {
  return deadline.tv_sec < now.tv_sec ||
         (deadline.tv_sec == now.tv_sec && deadline.tv_nsec <= now.tv_nsec);
}

}  // namespace lumen_base
