#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine and runs the whole suite: the default
# optimised build, then AddressSanitizer + UndefinedBehaviorSanitizer, then
# every suite that starts threads under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

for preset in default asan; do
  echo "==> preset $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

# Every suite that starts threads (CTest label "threads") again under
# ThreadSanitizer.
echo "==> preset tsan (the suites labelled threads)"
cmake --preset tsan
cmake --build --preset tsan --target threaded_tests
ctest --preset tsan -L threads
echo "==> all suites passed"
