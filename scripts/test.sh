#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine and runs the whole suite: the default
# optimised build, then AddressSanitizer + UndefinedBehaviorSanitizer, then
# the message-loop suites under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

for preset in default asan; do
  echo "==> preset $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

# The message loop, threads, stream events and publish's frame handover
# again under ThreadSanitizer.
echo "==> preset tsan (message loop, threads, stream events, frame handover)"
cmake --preset tsan
cmake --build --preset tsan --target base_tests tools_tests
ctest --preset tsan -R '^(MessageQueue|MessageQueueManager|Thread|ThreadSend|ThreadPriorityTest|AutoThread|ThreadManager|ThreadLifetime|StreamEvents|FifoBuffer|StreamAdapterInterface|StreamTap|StreamSegment|LoggingAdapter|MessageLoopStress|ProcessExit|FrameHandover)\.'
echo "==> all suites passed"
