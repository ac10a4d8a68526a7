#include "tests/support/clock.h"

#include <time.h>

namespace quorvex_test {

long long NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool WaitFor(const std::function<bool()>& condition, int timeout_ms) {
  const long long deadline = NowMs() + timeout_ms;
  while (!condition()) {
    if (NowMs() > deadline) return false;
    const struct timespec tick = {0, 1000000};
    nanosleep(&tick, nullptr);
  }
  return true;
}

}  // namespace quorvex_test
