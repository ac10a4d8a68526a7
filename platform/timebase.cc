#include "platform/timebase.h"

#include <chrono>
#include <mutex>
#include <new>
#include <unordered_set>

struct PlatformTimeBaseRecord {
  std::chrono::steady_clock::time_point start;
};

namespace {

// The bases made and not yet disposed of. Leaked on purpose, so that a base
// disposed of during static destruction still finds it.
struct LiveTimeBases {
  std::mutex lock;
  std::unordered_set<TimeBase> bases;
};

LiveTimeBases& Live() {
  static LiveTimeBases* live = new LiveTimeBases;
  return *live;
}

// `elapsed` in whole units of 1/scale s, rounded down. 128-bit, so that no
// elapsed time and scale can overflow the product.
TimeValue ToUnits(std::chrono::nanoseconds elapsed, TimeScale scale) {
  const __int128 units = static_cast<__int128>(elapsed.count()) * scale / 1000000000;
  return static_cast<TimeValue>(units);
}

}  // namespace

TimeBase NewTimeBase(void) {
  TimeBase tb = new (std::nothrow) PlatformTimeBaseRecord{std::chrono::steady_clock::now()};
  if (tb == nullptr) return nullptr;
  LiveTimeBases& live = Live();
  std::lock_guard<std::mutex> hold(live.lock);
  live.bases.insert(tb);
  return tb;
}

void DisposeTimeBase(TimeBase tb) {
  LiveTimeBases& live = Live();
  std::lock_guard<std::mutex> hold(live.lock);
  if (live.bases.erase(tb) == 0) return;
  delete tb;
}

TimeValue GetTimeBaseTime(TimeBase tb, TimeScale scale, TimeRecord* tr) {
  TimeValue value = 0;
  if (scale > 0) {
    LiveTimeBases& live = Live();
    std::lock_guard<std::mutex> hold(live.lock);
    if (live.bases.count(tb) != 0) {
      // steady_clock never goes back, so the difference is never negative.
      value = ToUnits(std::chrono::steady_clock::now() - tb->start, scale);
    }
  }
  if (tr != nullptr) {
    tr->value = value;
    tr->scale = scale;
    tr->base = tb;
  }
  return value;
}
