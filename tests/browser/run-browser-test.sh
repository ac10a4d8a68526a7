#!/usr/bin/env bash
# Opens a PipeWire camera in a real headless browser through the Camera portal
# and checks what a web page sees: the camera's label in enumerateDevices(),
# a number of frames, and the colour at the centre of the picture.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
readonly HERE ROOT SESSION_SCRIPT=$ROOT/scripts/pipewire-session.sh PROG=${0##*/}

usage() {
  cat <<EOF
Usage: $PROG --browser chromium|firefox --label TEXT --expect-rgb R,G,B
            [--tolerance N] [--frames N] [--timeout S]
            [--constraints JSON] [--settle MS] [--own-session [--camera-cmd CMD]] [--keep-temp]

Runs inside a session started by 'scripts/pipewire-session.sh start --portal'
(the variables it prints must be in the environment).  With --own-session it
starts such a session itself and stops it at the end; --camera-cmd then runs
CMD (a shell command line) inside that session to publish the camera, and
stops it at the end too.

  --browser      chromium (package chromium) or firefox (package firefox-esr)
  --label        the camera name expected among the page's videoinput devices
  --expect-rgb   the colour expected at the centre of the picture, 0-255 each
  --tolerance    largest difference allowed in any channel (default 12)
  --frames       frames the page must receive (default 30)
  --timeout      seconds for the whole browser run (default 20)
  --constraints  the video constraints for getUserMedia as JSON, e.g.
                 '{"width":{"exact":320},"height":{"exact":240}}' (default true)
  --settle       how long the page keeps looking for a camera that is not
                 listed yet, in milliseconds (default 3000)
  --keep-temp    keep the browser profile, logs and report (path printed)

Exits 0 when everything matched, 1 otherwise (printing the page's report and
the reasons), 2 on bad usage.
EOF
}

log() { printf '%s: %s\n' "$PROG" "$*" >&2; }
die() { log "error: $*"; exit 1; }
usage_error() { log "$*"; usage >&2; exit 2; }

BROWSER='' LABEL='' EXPECT_RGB='' TOLERANCE=12 FRAMES=30 TIMEOUT=20
OWN_SESSION=0 CAMERA_CMD='' KEEP_TEMP=0 CONSTRAINTS=true SETTLE_MS=3000
while (($#)); do
  case $1 in
    --browser) BROWSER=${2-}; shift ;;
    --label) LABEL=${2-}; shift ;;
    --expect-rgb) EXPECT_RGB=${2-}; shift ;;
    --tolerance) TOLERANCE=${2-}; shift ;;
    --frames) FRAMES=${2-}; shift ;;
    --timeout) TIMEOUT=${2-}; shift ;;
    --constraints) CONSTRAINTS=${2-}; shift ;;
    --settle) SETTLE_MS=${2-}; shift ;;
    --own-session) OWN_SESSION=1 ;;
    --camera-cmd) CAMERA_CMD=${2-}; shift ;;
    --keep-temp) KEEP_TEMP=1 ;;
    -h|--help) usage; exit 0 ;;
    *) usage_error "unknown option '$1'" ;;
  esac
  shift
done

case $BROWSER in
  chromium|firefox) ;;
  '') usage_error "--browser is required" ;;
  *) usage_error "--browser must be chromium or firefox" ;;
esac
[[ -n $LABEL ]] || usage_error "--label is required"
[[ $EXPECT_RGB =~ ^[0-9]{1,3},[0-9]{1,3},[0-9]{1,3}$ ]] || usage_error "--expect-rgb takes R,G,B"
IFS=, read -r r g b <<<"$EXPECT_RGB"
((r <= 255 && g <= 255 && b <= 255)) || usage_error "--expect-rgb values go from 0 to 255"
[[ $TOLERANCE =~ ^[0-9]+$ ]] || usage_error "--tolerance takes a whole number"
if ! [[ $FRAMES =~ ^[0-9]+$ ]] || ((FRAMES < 1)); then usage_error "--frames takes a number above 0"; fi
if ! [[ $TIMEOUT =~ ^[0-9]+$ ]] || ((TIMEOUT < 3)); then usage_error "--timeout takes at least 3 seconds"; fi
[[ $SETTLE_MS =~ ^[0-9]+$ ]] || usage_error "--settle takes milliseconds"
[[ -z $CAMERA_CMD ]] || ((OWN_SESSION)) || usage_error "--camera-cmd needs --own-session"
command -v python3 >/dev/null 2>&1 ||
  die "python3 not found; it serves the test page: install the Debian package 'python3'"
python3 -c 'import json, sys; json.loads(sys.argv[1])' "$CONSTRAINTS" 2>/dev/null ||
  usage_error "--constraints takes JSON"
command -v gdbus >/dev/null 2>&1 || die "gdbus not found; install the Debian package 'libglib2.0-bin'"
command -v pw-dump >/dev/null 2>&1 || die "pw-dump not found; install the Debian package 'pipewire-bin'"
case $BROWSER in
  chromium)
    BROWSER_BIN=$(command -v chromium || true)
    [[ -n $BROWSER_BIN ]] || die "chromium not found; install the Debian package 'chromium'"
    ;;
  firefox)
    BROWSER_BIN=$(command -v firefox-esr || command -v firefox || true)
    [[ -n $BROWSER_BIN ]] || die "firefox-esr not found; install the Debian package 'firefox-esr'"
    ;;
esac

# --- cleanup ------------------------------------------------------------------

TMP='' SESSION_STARTED=0 SERVER_PID='' BROWSER_PID='' CAMERA_PID=''

# stop_group NAME PID — the browser and the camera command were started as
# leaders of their own process groups, so their helpers (renderers, content
# processes, pipeline children) go with them.
# shellcheck disable=SC2317 # reached through the EXIT trap
stop_group() {
  local name=$1 pid=$2 i
  [[ -n $pid ]] || return 0
  kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }
  kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || true
  for ((i = 0; i < 30; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    log "$name (pid $pid) did not stop; killing it"
  fi
  # Whatever is left of the group, the leader included.
  kill -KILL -- "-$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# Firefox's crash helper leaves the browser's process group for a session of
# its own; it ends with the browser, but whatever still runs from this run's
# temporary folder once the browser is gone is stopped by pid here.
# shellcheck disable=SC2317 # reached through the EXIT trap
stop_leftovers() {
  local dir=$1 file i left
  [[ -n $dir ]] || return 0
  for ((i = 0; i < 30; i++)); do
    left=()
    while IFS= read -r file; do
      file=${file#/proc/}
      left+=("${file%/cmdline}")
    done < <(grep -lsaF -- "$dir/" /proc/[0-9]*/cmdline 2>/dev/null || true)
    ((${#left[@]})) || return 0
    ((i < 20)) || kill -KILL "${left[@]}" 2>/dev/null || true
    sleep 0.1
  done
  log "warning: processes ${left[*]} from $dir are still running"
}

# shellcheck disable=SC2317 # reached through the EXIT trap
cleanup() {
  local rc=$?
  trap - EXIT INT TERM
  stop_group "$BROWSER" "$BROWSER_PID"
  stop_group "the server" "$SERVER_PID"
  stop_group "the camera command" "$CAMERA_PID"
  stop_leftovers "$TMP"
  if ((SESSION_STARTED)); then
    "$SESSION_SCRIPT" stop "$QUORVEX_PW_SESSION_DIR" >/dev/null 2>&1 || true
  fi
  if [[ -n $TMP && -d $TMP ]]; then
    if ((KEEP_TEMP)); then
      log "kept $TMP"
    else
      rm -rf -- "$TMP"
    fi
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# --- the session --------------------------------------------------------------

started_at=$SECONDS
if ((OWN_SESSION)); then
  session_exports=$("$SESSION_SCRIPT" start --portal) || die "could not start a session"
  eval "$session_exports"
  SESSION_STARTED=1
else
  [[ -n ${DBUS_SESSION_BUS_ADDRESS:-} && -n ${XDG_RUNTIME_DIR:-} ]] ||
    die "no session: run inside 'eval \"\$(scripts/pipewire-session.sh start --portal)\"' or pass --own-session"
fi
gdbus call --session --dest org.freedesktop.portal.Desktop \
  --object-path /org/freedesktop/portal/desktop \
  --method org.freedesktop.DBus.Properties.Get org.freedesktop.portal.Camera version \
  >/dev/null 2>&1 ||
  die "the Camera portal does not answer on this session bus; start the session with --portal"

TMP=$(mktemp -d "${TMPDIR:-/tmp}/browser-camera-test.XXXXXX")
mkdir -p "$TMP/home" "$TMP/profile" "$TMP/tmp"

camera_node_present() {
  timeout 3 pw-dump 2>/dev/null | python3 -c '
import json, sys
for obj in json.load(sys.stdin):
    props = (obj.get("info") or {}).get("props") or {}
    if props.get("media.class") == "Video/Source" and props.get("media.role") == "Camera":
        sys.exit(0)
sys.exit(1)'
}

if [[ -n $CAMERA_CMD ]]; then
  setsid bash -c "$CAMERA_CMD" </dev/null >"$TMP/camera.log" 2>&1 &
  CAMERA_PID=$!
  # The page should find the camera on its first look, not by its retries.
  camera_wait_until=$((SECONDS + 10))
  until camera_node_present; do
    kill -0 "$CAMERA_PID" 2>/dev/null ||
      { tail -n 10 "$TMP/camera.log" >&2; die "the camera command exited"; }
    ((SECONDS < camera_wait_until)) ||
      { tail -n 10 "$TMP/camera.log" >&2; die "no Video/Source node with media.role Camera appeared"; }
    sleep 0.1
  done
fi

# --- the page server ----------------------------------------------------------

setsid python3 "$HERE/result-server.py" --root "$HERE" --result "$TMP/result.json" \
  --progress "$TMP/progress.log" --port-file "$TMP/port" --lifetime $((TIMEOUT + 30)) \
  </dev/null >"$TMP/server.log" 2>&1 &
SERVER_PID=$!
for ((i = 0; i < 50; i++)); do
  [[ -s $TMP/port ]] && break
  kill -0 "$SERVER_PID" 2>/dev/null || { cat "$TMP/server.log" >&2; die "the page server exited"; }
  sleep 0.1
done
[[ -s $TMP/port ]] || die "the page server did not start"
PORT=$(<"$TMP/port")

urlencode() { python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$1"; }
# The page reports whatever it has a little before the runner gives up, so a
# slow browser start eats into the page's time, not into the report.
page_deadline_at=$(($(date +%s%3N) + TIMEOUT * 1000 - 1500))
URL="http://127.0.0.1:$PORT/camera.html?label=$(urlencode "$LABEL")&frames=$FRAMES&deadline_at=$page_deadline_at&constraints=$(urlencode "$CONSTRAINTS")&settle_ms=$SETTLE_MS"

# --- the browser --------------------------------------------------------------

# A home of its own keeps each browser away from the real profile, keyring
# and caches, and leaves nothing behind.
browser_env=(env -u DISPLAY -u WAYLAND_DISPLAY HOME="$TMP/home" TMPDIR="$TMP/tmp"
  XDG_CONFIG_HOME="$TMP/home/.config" XDG_CACHE_HOME="$TMP/home/.cache"
  XDG_DATA_HOME="$TMP/home/.local/share")

case $BROWSER in
  chromium)
    browser_cmd=("$BROWSER_BIN" --headless=new --no-sandbox --use-fake-ui-for-media-stream
      --enable-features=WebRtcPipeWireCamera --disable-gpu --no-first-run
      --disable-background-networking --disable-component-update --disable-sync
      --no-default-browser-check --disable-default-apps --disable-extensions
      --autoplay-policy=no-user-gesture-required
      --user-data-dir="$TMP/profile" "$URL")
    ;;
  firefox)
    cat >"$TMP/profile/user.js" <<'EOF'
// Cameras come from PipeWire through the Camera portal, granted without a prompt.
user_pref("media.webrtc.camera.allow-pipewire", true);
user_pref("media.navigator.permission.disabled", true);
user_pref("media.navigator.streams.fake", false);
user_pref("media.autoplay.default", 0);
user_pref("media.autoplay.blocking_policy", 0);
// No first-run pages, prompts, updates or traffic to anything but the page.
user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("browser.startup.homepage_override.mstone", "ignore");
user_pref("browser.startup.firstrunSkipsHomepage", true);
user_pref("startup.homepage_welcome_url", "");
user_pref("startup.homepage_welcome_url.additional", "");
user_pref("browser.aboutwelcome.enabled", false);
user_pref("browser.sessionstore.resume_from_crash", false);
user_pref("toolkit.startup.max_resumed_crashes", -1);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("datareporting.healthreport.uploadEnabled", false);
user_pref("toolkit.telemetry.enabled", false);
user_pref("toolkit.telemetry.unified", false);
user_pref("toolkit.telemetry.server", "");
user_pref("app.update.enabled", false);
user_pref("app.update.auto", false);
user_pref("app.normandy.enabled", false);
user_pref("app.shield.optoutstudies.enabled", false);
user_pref("extensions.update.enabled", false);
user_pref("extensions.getAddons.cache.enabled", false);
user_pref("extensions.systemAddon.update.enabled", false);
user_pref("browser.safebrowsing.malware.enabled", false);
user_pref("browser.safebrowsing.phishing.enabled", false);
user_pref("browser.safebrowsing.downloads.enabled", false);
user_pref("browser.safebrowsing.provider.google4.updateURL", "");
user_pref("browser.region.update.enabled", false);
user_pref("browser.newtabpage.enabled", false);
user_pref("browser.newtabpage.activity-stream.feeds.system.topsites", false);
user_pref("browser.topsites.contile.enabled", false);
user_pref("browser.search.update", false);
user_pref("media.gmp-manager.updateEnabled", false);
user_pref("media.gmp-gmpopenh264.enabled", false);
user_pref("network.captive-portal-service.enabled", false);
user_pref("network.connectivity-service.enabled", false);
user_pref("network.dns.disablePrefetch", true);
user_pref("network.prefetch-next", false);
user_pref("services.settings.server", "http://127.0.0.1:1/");
user_pref("dom.push.connection.enabled", false);
EOF
    # No crash reporter window (it wants a display) should Firefox crash.
    browser_env+=(MOZ_CRASHREPORTER_DISABLE=1)
    browser_cmd=("$BROWSER_BIN" --headless --no-remote --profile "$TMP/profile" "$URL")
    ;;
esac

# A browser that crashes (dies of a signal) before the page reported tells
# nothing about the camera: headless Firefox's software compositor now and
# then fails to map its framebuffer on a loaded machine and takes the
# process down. It is started again while the run's time allows; any other
# end, and a wrong picture, count at once.
browser_started=$SECONDS
deadline=$((browser_started + TIMEOUT))
max_attempts=3
for ((attempt = 1; ; attempt++)); do
  # setsid makes the browser the leader of a new process group (it does not
  # fork here, so $! is the browser itself) that cleanup ends as a whole.
  setsid "${browser_env[@]}" "${browser_cmd[@]}" </dev/null >"$TMP/browser.log" 2>&1 &
  BROWSER_PID=$!
  browser_rc=''
  while [[ ! -s $TMP/result.json ]]; do
    if ! kill -0 "$BROWSER_PID" 2>/dev/null; then
      wait "$BROWSER_PID" 2>/dev/null && browser_rc=0 || browser_rc=$?
      BROWSER_PID=''
      log "$BROWSER exited (status $browser_rc) before the page reported"
      break
    fi
    if ((SECONDS >= deadline)); then
      log "no report from the page within ${TIMEOUT}s"
      break
    fi
    sleep 0.1
  done
  [[ -s $TMP/result.json ]] && break
  if [[ -n $browser_rc ]] && ((browser_rc > 128 && attempt < max_attempts && SECONDS + 8 < deadline)); then
    log "$BROWSER crashed (signal $((browser_rc - 128))); starting it again (attempt $((attempt + 1)) of $max_attempts)"
    tail -n 5 "$TMP/browser.log" | sed 's/^/  /' >&2
    continue
  fi
  break
done
browser_seconds=$((SECONDS - browser_started))

if [[ ! -s $TMP/result.json ]]; then
  log "page progress:"
  sed 's/^/  /' "$TMP/progress.log" >&2 2>/dev/null || log "  (none: the page never ran)"
  log "last lines of the $BROWSER log:"
  tail -n 25 "$TMP/browser.log" | sed 's/^/  /' >&2
  if [[ -n $CAMERA_PID ]]; then
    log "last lines of the camera command's log:"
    tail -n 10 "$TMP/camera.log" | sed 's/^/  /' >&2
  fi
  exit 1
fi

rc=0
python3 "$HERE/check-result.py" "$TMP/result.json" --browser "$BROWSER" --label "$LABEL" \
  --frames "$FRAMES" --expect-rgb "$EXPECT_RGB" --tolerance "$TOLERANCE" || rc=$?
log "$BROWSER ran ${browser_seconds}s, $((SECONDS - started_at))s in all"
if ((rc != 0)); then
  log "page progress:"
  sed 's/^/  /' "$TMP/progress.log" >&2 2>/dev/null || true
  rc=1
fi
exit "$rc"
