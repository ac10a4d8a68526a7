#!/usr/bin/env bash
# Proves the browser harness itself with a camera that GStreamer publishes:
# it must pass on the right label and colour, and fail on a wrong colour and
# on a label no camera has.  Each case gets a fresh session and a fresh
# camera, since a pipewiresink in provide mode only ever serves its first
# consumer.
#
# Usage: tests/browser/self-test.sh [chromium] [firefox]   (default: both)
# Needs gstreamer1.0-tools, gstreamer1.0-pipewire, gstreamer1.0-plugins-base
# besides what run-browser-test.sh needs.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly HERE

command -v gst-launch-1.0 >/dev/null 2>&1 ||
  { echo "self-test: gst-launch-1.0 not found; install gstreamer1.0-tools" >&2; exit 1; }
gst-inspect-1.0 pipewiresink >/dev/null 2>&1 ||
  { echo "self-test: no pipewiresink; install gstreamer1.0-pipewire" >&2; exit 1; }

browsers=("$@")
((${#browsers[@]})) || browsers=(chromium firefox)

# ARGB 0xFF3366CC: a colour far from grey and from the primaries, so a
# swapped channel or a wrong matrix shows.
readonly LABEL=Harness-Test-Camera RGB=51,102,204
camera="exec gst-launch-1.0 -q videotestsrc pattern=solid-color foreground-color=0xFF3366CC is-live=true"
camera+=" ! video/x-raw,format=I420,width=320,height=240,framerate=30/1"
camera+=" ! pipewiresink mode=provide"
camera+=" stream-properties=\"props,media.class=Video/Source,media.role=Camera,node.description=$LABEL\""

passed=0 failed=0
# expect STATUS NAME ARGS... — runs the harness and compares its exit status.
expect() {
  local want=$1 name=$2 rc=0 out line
  shift 2
  out=$("$HERE/run-browser-test.sh" --own-session --camera-cmd "$camera" --timeout 15 "$@" 2>&1) || rc=$?
  if ((rc == want)); then
    passed=$((passed + 1))
    echo "ok: $name (exit $rc)"
    grep -E '^(PASS|FAIL):|ran [0-9]+s' <<<"$out" | sed 's/^/    /'
  else
    failed=$((failed + 1))
    echo "NOT OK: $name (exit $rc, wanted $want)"
    while IFS= read -r line; do printf '    %s\n' "$line"; done <<<"$out"
  fi
}

for browser in "${browsers[@]}"; do
  expect 0 "$browser sees $LABEL in $RGB" \
    --browser "$browser" --label "$LABEL" --expect-rgb "$RGB" --tolerance 12
  expect 1 "$browser rejects a wrong colour" \
    --browser "$browser" --label "$LABEL" --expect-rgb 204,102,51 --tolerance 12
  expect 1 "$browser rejects a missing label" \
    --browser "$browser" --label "No Such Camera" --expect-rgb "$RGB" --tolerance 12 --frames 5
done

echo "browser harness: $passed passed, $failed failed"
((failed == 0))
