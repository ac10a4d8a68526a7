#!/usr/bin/env bash
# The main job: builds the virtual camera and its agent, feeds the camera a
# moving test pattern, captures five seconds from it the way a video
# application does, and then publishes it as a PipeWire camera and records
# five seconds more with an unmodified PipeWire client (GStreamer's
# pipewiresrc), all into demo-output/ (YUV4MPEG2 movies and PNG snapshots).
# Then tells what was captured and how to look at it.
#
# The PipeWire part uses the desktop's own session when one runs, and
# otherwise a private one (scripts/pipewire-session.sh) that it stops again.
#
# Runs on Debian 12; installs missing build dependencies when run as root.
# Changes no preference: the camera reads its log settings, and nothing here
# writes them.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

bin="$repo/build/default/bin"
agent="$bin/QuorvexLumenPlug"
out="$repo/demo-output"
movie="$out/capture.y4m"
still="$out/snapshot.png"
feed_log="$out/feed.log"
pw_movie="$out/pipewire.y4m"
pw_still="$out/pipewire.png"
publish_log="$out/publish.log"
seconds=5
width=320
height=240

say() { printf '\n==> %s\n' "$*"; }
fail() {
  printf '\ndemo: %s\n' "$*" >&2
  exit 1
}

# The camera's lock, a named semaphore, outlives the processes that use it,
# as the camera expects. The demo removes it at the end only when it was
# not there before, so that it leaves the machine as it found it; the agent
# tells where it is, once it is built.
semaphore=""
semaphore_was_there=yes

publish_pid=""
session_dir=""
stop_publish() {
  [[ -n "$publish_pid" ]] || return 0
  kill -TERM "$publish_pid" 2>/dev/null || true
  local status=0
  wait "$publish_pid" 2>/dev/null || status=$?
  publish_pid=""
  return "$status"
}

feed_pid=""
stop_feeder() {
  [[ -n "$feed_pid" ]] || return 0
  if kill -0 "$feed_pid" 2>/dev/null; then
    kill -TERM "$feed_pid" 2>/dev/null || true
  fi
  local status=0
  wait "$feed_pid" 2>/dev/null || status=$?
  feed_pid=""
  return "$status"
}
cleanup() {
  local status=$?
  stop_publish || true
  if [[ -n "$session_dir" ]]; then scripts/pipewire-session.sh stop "$session_dir" || true; fi
  stop_feeder || true
  if [[ $semaphore_was_there == no && -n "$semaphore" ]]; then rm -f "$semaphore"; fi
  if ((status != 0)); then
    printf 'demo: stopped with status %d\n' "$status" >&2
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

say "Installing missing build dependencies"
scripts/install-deps.sh

say "Configuring and building (preset 'default', in build/default)"
cmake --preset default >/dev/null
# The agent brings the camera component along; nothing else is needed here.
cmake --build --preset default --target QuorvexLumenPlug orvid_component
[[ -x "$agent" ]] || fail "the build did not produce $agent"
semaphore="$("$agent" names semaphore-file)"
semaphore_was_there=no
[[ -e "$semaphore" ]] && semaphore_was_there=yes
"$agent" publish --help >/dev/null 2>&1 ||
  fail "this build has no publish command (PipeWire's development files are missing)"

say "Preparing $out"
rm -rf "$out"
mkdir -p "$out"

say "Starting the feeder: a moving 640x480 test pattern at 30 frames per second"
# Its messages go to a log file, so that they do not mix with the capture's.
"$agent" feed >"$feed_log" 2>&1 &
feed_pid=$!
# Give it a moment to attach; a feeder that cannot start ends at once.
sleep 0.5
if ! kill -0 "$feed_pid" 2>/dev/null; then
  wait "$feed_pid" || true
  feed_pid=""
  cat "$feed_log" >&2
  fail "the feeder did not start (its messages are above, and in $feed_log)"
fi
echo "feeder running as process $feed_pid (log: $feed_log)"

say "Capturing ${seconds} seconds at ${width}x${height} through the camera (Ctrl-C stops it early)"
capture_status=0
"$agent" capture --size "${width}x${height}" --seconds "$seconds" -o "$movie" \
  --snapshot "$still" || capture_status=$?

say "Publishing the camera to PipeWire"
# A desktop's session answers on its socket; without one, a private session.
if [[ -n "${XDG_RUNTIME_DIR:-}" && -S "${XDG_RUNTIME_DIR}/pipewire-0" ]] &&
  timeout 3 pw-cli info 0 >/dev/null 2>&1; then
  echo "using the PipeWire session of this desktop (${XDG_RUNTIME_DIR}/pipewire-0)"
else
  session_dir=$(mktemp -d /tmp/quorvex-demo-pipewire.XXXXXX)
  rmdir "$session_dir"
  eval "$(scripts/pipewire-session.sh start --dir "$session_dir")"
  echo "no PipeWire session was running: started a private one in $session_dir"
fi
"$agent" publish --quiet >"$publish_log" 2>&1 &
publish_pid=$!
node_ready=no
for _ in $(seq 100); do
  if ! kill -0 "$publish_pid" 2>/dev/null; then break; fi
  if pw-cli ls Node 2>/dev/null | grep -q 'node.name = "quorvex-camera"'; then
    node_ready=yes
    break
  fi
  sleep 0.1
done
if [[ $node_ready != yes ]]; then
  cat "$publish_log" >&2
  fail "publish did not put the camera into PipeWire (its messages are above)"
fi
echo "publish running as process $publish_pid; PipeWire lists the camera as:"
pw-cli ls Node | grep -B2 -A12 'node.name = "quorvex-camera"' |
  grep -E 'node.name|node.description|media.class|media.role' | sed 's/^[[:space:]]*/  /'

say "Recording ${seconds} seconds at ${width}x${height} with GStreamer's pipewiresrc (an unmodified client)"
caps="video/x-raw,format=I420,width=${width},height=${height}"
gst-launch-1.0 -q pipewiresrc target-object=quorvex-camera num-buffers=$((seconds * 30)) \
  ! "$caps" ! y4menc ! filesink location="$pw_movie" ||
  fail "pipewiresrc could not record from the camera"
gst-launch-1.0 -q pipewiresrc target-object=quorvex-camera num-buffers=1 \
  ! "$caps" ! videoconvert ! pngenc ! filesink location="$pw_still" ||
  fail "pipewiresrc could not take a snapshot from the camera"
stop_publish || echo "demo: warning: publish ended with a failure (see $publish_log)" >&2
if [[ -n "$session_dir" ]]; then
  scripts/pipewire-session.sh stop "$session_dir"
  session_dir=""
fi

say "Stopping the feeder"
feed_status=0
stop_feeder || feed_status=$?
if ((feed_status != 0)); then
  cat "$feed_log" >&2
  echo "demo: warning: the feeder ended with status $feed_status (its log is above)" >&2
else
  tail -n 1 "$feed_log"
fi

if ((capture_status != 0)) || [[ ! -s "$movie" ]]; then
  fail "nothing was captured (capture ended with status $capture_status)"
fi

# Count the frames from the file itself: a header line, then for each frame
# a "FRAME" line and the frame's 4:2:0 planes.
file_bytes=$(stat -c %s "$movie")
header_bytes=$(head -n 1 "$movie" | wc -c)
frame_bytes=$((6 + width * height * 3 / 2))
frames=$(((file_bytes - header_bytes) / frame_bytes))
if ((frames == 0 || (file_bytes - header_bytes) % frame_bytes != 0)); then
  fail "$movie does not hold whole ${width}x${height} frames ($file_bytes bytes)"
fi

say "What was captured"
printf '  %-22s %s\n' "movie:" "$movie"
printf '  %-22s %s\n' "" "$frames frames of ${width}x${height}, planar 4:2:0 (YUV4MPEG2), $file_bytes bytes"
printf '  %-22s %s\n' "first line:" "$(head -n 1 "$movie")"
if [[ -s "$still" ]]; then
  printf '  %-22s %s\n' "snapshot (frame 1):" "$still"
  printf '  %-22s %s\n' "" "PNG, ${width}x${height}, $(stat -c %s "$still") bytes"
else
  echo "  no snapshot was written" >&2
fi
printf '  %-22s %s\n' "feeder's log:" "$feed_log"
if [[ -s "$pw_movie" ]]; then
  pw_bytes=$(stat -c %s "$pw_movie")
  pw_header=$(head -n 1 "$pw_movie" | wc -c)
  printf '  %-22s %s\n' "through PipeWire:" "$pw_movie"
  printf '  %-22s %s\n' "" "$(((pw_bytes - pw_header) / frame_bytes)) frames of ${width}x${height} recorded by pipewiresrc"
  printf '  %-22s %s\n' "PipeWire snapshot:" "$pw_still"
fi

if command -v ffprobe >/dev/null; then
  say "ffprobe's view of $movie"
  ffprobe -v error -count_frames -select_streams v:0 \
    -show_entries stream=codec_name,width,height,pix_fmt,r_frame_rate,nb_read_frames \
    -of default=noprint_wrappers=1 "$movie" | sed 's/^/  /'
fi

say "How to look at it"
echo "  ffplay $movie"
echo "  mpv $movie"
echo "  ffplay $pw_movie        (what a PipeWire application received)"
echo "  the snapshot: $still (any image viewer, e.g. xdg-open)"
echo
echo "The movie plays at its nominal 30 frames per second; the capture's own"
echo "summary above gives the rate measured from the camera's time stamps."
