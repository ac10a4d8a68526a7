// Wrap-safe millisecond time.  A time is the wall clock in milliseconds since
// the Unix epoch, kept modulo 2^32, so it wraps about every 49.7 days.  Two
// times are compared and subtracted only through these functions, which stay
// right across the wrap as long as the two lie less than about 24.8 days
// apart.  All functions are safe on any thread.
#ifndef BASE_TIMEUTILS_H_
#define BASE_TIMEUTILS_H_

#include <stdint.h>
#include <time.h>

namespace lumen_base {

// Now, as seconds * 1000 + microseconds / 1000 of gettimeofday, in wrapping
// 32-bit arithmetic.
uint32_t Time();

// The value of Time() at the first call in the process; every later call
// returns the same value, also when the first calls race.
uint32_t StartTime();

// Time() + elapsed, wrapping; a negative elapsed gives a time in the past.
uint32_t TimeAfter(int32_t elapsed);

// True when middle lies in [earlier, later], both ends included.  When
// earlier > later the interval wraps past 2^32.
bool TimeIsBetween(uint32_t earlier, uint32_t middle, uint32_t later);

// later - earlier, taken as signed, is >= 0 (resp. > 0).
bool TimeIsLaterOrEqual(uint32_t earlier, uint32_t later);
bool TimeIsLater(uint32_t earlier, uint32_t later);

// later - earlier as a signed 32-bit number of milliseconds.
int32_t TimeDiff(uint32_t later, uint32_t earlier);

// Milliseconds since `earlier` (negative when it lies in the future).
int32_t TimeSince(uint32_t earlier);

// Milliseconds until `later` (negative when it has passed).
int32_t TimeUntil(uint32_t later);

// Deadlines on the monotonic clock, for waits that a change of the time of
// day must neither stretch nor cut (sem_clockwait, select loops): the one
// place that does this arithmetic.

// The monotonic clock now.
timespec MonotonicNow();
// `start` plus `ms` milliseconds (0 or more), normalised.
timespec MonotonicAfter(const timespec& start, int ms);
// MonotonicAfter(MonotonicNow(), ms).
timespec MonotonicDeadline(int ms);
// True when `now` has reached `deadline`.
bool MonotonicHasPassed(const timespec& deadline, const timespec& now);

}  // namespace lumen_base

#endif  // BASE_TIMEUTILS_H_
