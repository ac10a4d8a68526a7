// Time bases: clocks that a capturing application owns and hands to a video
// digitizer, which stamps every frame with the base's time. A time base here
// runs on the system's monotonic clock from the moment NewTimeBase made it:
// its time is never set back, is not affected by changes of the wall clock,
// and does not stop while the machine is awake.
//
// Times are told in a time scale: the number of units per second (3000 gives
// units of 1/3000 s). A time is the elapsed time in whole units, rounded
// down.
//
// TimeValue is 64 bits wide here. The 32-bit design's value wrapped after
// 2^31 units (about eight days at 3000 units per second); the record that
// carries it already had a 64-bit value, so the function's result and the
// record now agree and never wrap.
//
// Handles. A TimeBase is an opaque pointer to a record of this service. Every
// one passed in is checked against the live bases first, so a disposed, null
// or made-up pointer is answered as "no such base" (below), never
// dereferenced.
//
// Threading: every function may be called from any thread; the live bases
// are under one lock. A base may be read by several threads at once.
#ifndef PLATFORM_TIMEBASE_H_
#define PLATFORM_TIMEBASE_H_

#include "platform/types.h"

typedef struct PlatformTimeBaseRecord* TimeBase;
typedef SInt32 TimeScale;  // units per second
typedef SInt64 TimeValue;  // a time in some scale's units

// A time, its scale and the base it was read from.
struct TimeRecord {
  SInt64 value;
  TimeScale scale;
  TimeBase base;
};

// A new time base whose time starts at 0 now; null when there is no memory.
// The caller owns it and disposes of it with DisposeTimeBase.
TimeBase NewTimeBase(void);

// Frees the base; it is dead afterwards. Null and bases that are not live
// (disposed before, or never made here) are ignored.
void DisposeTimeBase(TimeBase tb);

// The time elapsed since `tb` was made, in units of 1/`scale` s, rounded
// down. When `tr` is given it receives the same value, `scale` and `tb`.
// For a base that is not live, or a scale of 0 or below, the result (and
// tr->value) is 0; tr still receives the scale and the base as given.
TimeValue GetTimeBaseTime(TimeBase tb, TimeScale scale, TimeRecord* tr);

#endif  // PLATFORM_TIMEBASE_H_
