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

}  // namespace lumen_base
