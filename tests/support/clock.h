// Time in tests: the monotonic clock in milliseconds, and waiting for a
// condition with a deadline (the one way tests wait: for what they need,
// never for a fixed time).
#ifndef TESTS_SUPPORT_CLOCK_H_
#define TESTS_SUPPORT_CLOCK_H_

#include <functional>

namespace quorvex_test {

// How long a test waits for anything before it calls it a hang. Generous:
// the machines are shared and slow under the sanitizers.
inline constexpr int kWaitMs = 20000;

// Milliseconds on the monotonic clock.
long long NowMs();

// Polls `condition` every millisecond until it holds (true) or `timeout_ms`
// pass (false).
bool WaitFor(const std::function<bool()>& condition, int timeout_ms = kWaitMs);

}  // namespace quorvex_test

#endif  // TESTS_SUPPORT_CLOCK_H_
