#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine and runs the whole suite: the default
# optimised build, then AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

for preset in default asan; do
  echo "==> preset $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
echo "==> all suites passed"
