#!/usr/bin/env bash
# The main job: build, feed the virtual camera and capture from it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default
cmake --build --preset default
echo
echo "The build is done, but the camera cannot deliver frames yet: the demo"
echo "(feeder, capture to a .y4m file and a PNG snapshot) arrives with the"
echo "frame-delivery work."
exit 1
