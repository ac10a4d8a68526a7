#!/usr/bin/env bash
# A private PipeWire session for tests and demos on a machine that has none
# (no systemd user instance, no display): a throw-away XDG_RUNTIME_DIR, a
# private D-Bus session bus that activates nothing by itself, pipewire and
# wireplumber, and optionally the permission store and the desktop portal so
# that browsers can reach PipeWire cameras.
set -euo pipefail

readonly PROG=${0##*/}
readonly MARKER=.quorvex-pw-session
readonly DEFAULT_TIMEOUT=10
readonly PORTAL_DESKTOP=QuorvexSession
# The empty XDG_DATA_DIRS of the portal also hides the compiled GSettings
# schemas, which GLib aborts without; the memory backend keeps dconf (which
# nothing may activate here) out of it.
readonly GSETTINGS_SCHEMAS=/usr/share/glib-2.0/schemas
# The Access backend named here never runs: the portal only has to know that
# one exists to offer its Camera interface, and the camera permission is
# granted in the permission store beforehand so no dialog is ever asked for.
readonly PORTAL_BACKEND_NAME=org.freedesktop.impl.portal.desktop.quorvexsession

usage() {
  cat <<EOF
Usage:
  $PROG start [--portal] [--dir DIR] [--timeout S]
      Starts a private session and prints 'export VAR=...' lines, so that
        eval "\$($PROG start)"
      puts the caller inside it.  The same variables are written to
      DIR/session.env; daemon logs go to DIR/*.log.  DIR defaults to a new
      temporary folder; an existing DIR must be empty.
      --portal  also starts xdg-permission-store and xdg-desktop-portal, with
                the camera granted in advance, so browsers can use PipeWire
                cameras through the Camera portal.
      --timeout seconds to wait for each readiness step (default $DEFAULT_TIMEOUT).
  $PROG stop [DIR]
      Stops every process the session started and removes DIR.  DIR defaults
      to \$QUORVEX_PW_SESSION_DIR.  Safe to call twice.
  $PROG restart-daemon [DIR]
      Kills the pipewire daemon and starts it again in the same session (and
      wireplumber with it), then waits until the session is ready again.
  $PROG status [DIR]
      Tells which of the session's processes are alive; exits 1 if one is not.
  $PROG run [--portal] [--dir DIR] [--timeout S] -- CMD [ARG...]
      Starts a session, runs CMD inside it and stops the session afterwards,
      also when CMD fails or is interrupted.  Exits with CMD's status.

Needs: pipewire, pipewire-bin (pw-metadata), wireplumber, dbus-daemon, dbus-bin;
with --portal also xdg-desktop-portal and libglib2.0-bin (gdbus).
EOF
}

log() { printf '%s: %s\n' "$PROG" "$*" >&2; }
die() { log "error: $*"; exit 1; }

need() {
  local cmd=$1 pkg=$2
  command -v "$cmd" >/dev/null 2>&1 || [[ -x $cmd ]] ||
    die "'$cmd' not found; install the Debian package '$pkg'"
}

# --- process bookkeeping ------------------------------------------------------
# A pid alone may be reused once the process is gone, so every pid is kept
# together with the kernel's start time of that process and only signalled
# while both still match.

proc_starttime() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  # The command name in field 2 may contain spaces; fields after it are plain.
  stat=${stat##*) }
  # shellcheck disable=SC2086 # splitting into fields is the point
  set -- $stat
  printf '%s\n' "${20}"
}

# alive PID STARTTIME
alive() {
  local pid=$1 start=$2 now
  [[ -n $pid && -n $start ]] || return 1
  now=$(proc_starttime "$pid") || return 1
  [[ $now == "$start" ]] || return 1
  # A zombie left by a parent that has not reaped it yet counts as gone.
  [[ $(sed -n 's/^State:[[:space:]]*\([A-Z]\).*/\1/p' "/proc/$pid/status" 2>/dev/null) != Z ]]
}

# terminate NAME PID STARTTIME
terminate() {
  local name=$1 pid=$2 start=$3 i
  alive "$pid" "$start" || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for ((i = 0; i < 30; i++)); do
    alive "$pid" "$start" || return 0
    sleep 0.1
  done
  log "$name (pid $pid) ignored SIGTERM; killing it"
  kill -KILL "$pid" 2>/dev/null || true
  for ((i = 0; i < 20; i++)); do
    alive "$pid" "$start" || return 0
    sleep 0.1
  done
  log "warning: $name (pid $pid) is still there after SIGKILL"
}

# launch VAR LOGFILE session|bus CMD...  — starts CMD in the session's (or the
# bus's) environment, detached from the caller's terminal and process group so
# that a Ctrl-C aimed at a test does not hit the daemons before the session can
# stop them in order, and records its pid and start time in VAR, VAR_START.
# Assignments NAME=VALUE may come before CMD.
launch() {
  local var=$1 logfile=$2 kind=$3 pid start
  shift 3
  env_args "$kind"
  # setsid does not fork when it is not a process-group leader, which a
  # background child of this non-interactive script never is, and env execs
  # CMD, so $! is the daemon's own pid.
  setsid env "${ENVARGS[@]}" "$@" </dev/null >>"$logfile" 2>&1 &
  pid=$!
  if ! start=$(proc_starttime "$pid"); then
    log "$1 exited at once; see $logfile"
    return 1
  fi
  printf -v "$var" '%s' "$pid"
  printf -v "${var}_START" '%s' "$start"
}

# --- session state ------------------------------------------------------------

SESSION_VARS=(
  QUORVEX_PW_SESSION_DIR XDG_RUNTIME_DIR PIPEWIRE_RUNTIME_DIR
  DBUS_SESSION_BUS_ADDRESS QUORVEX_PW_PORTAL
  QUORVEX_PW_DBUS_PID QUORVEX_PW_DBUS_PID_START
  QUORVEX_PW_PIPEWIRE_PID QUORVEX_PW_PIPEWIRE_PID_START
  QUORVEX_PW_WIREPLUMBER_PID QUORVEX_PW_WIREPLUMBER_PID_START
  QUORVEX_PW_PERMSTORE_PID QUORVEX_PW_PERMSTORE_PID_START
  QUORVEX_PW_PORTAL_PID QUORVEX_PW_PORTAL_PID_START
)

reset_state() {
  local v
  for v in "${SESSION_VARS[@]}"; do printf -v "$v" '%s' ''; done
  QUORVEX_PW_PORTAL=0
}

write_env() {
  local dir=$QUORVEX_PW_SESSION_DIR v tmp
  tmp=$dir/session.env.tmp
  {
    echo "# Written by $PROG; source it or eval the lines of '$PROG start'."
    for v in "${SESSION_VARS[@]}"; do
      printf 'export %s=%q\n' "$v" "${!v}"
    done
  } >"$tmp"
  mv -f "$tmp" "$dir/session.env"
}

# load_env DIR — reads a session's state without trusting it blindly: only the
# known variables are taken from the file.
load_env() {
  local dir=$1 line name value
  reset_state
  [[ -f $dir/session.env ]] || return 1
  while IFS= read -r line; do
    [[ $line =~ ^export\ ([A-Z_]+)=(.*)$ ]] || continue
    name=${BASH_REMATCH[1]}
    value=${BASH_REMATCH[2]}
    case " ${SESSION_VARS[*]} " in *" $name "*) ;; *) continue ;; esac
    # Values were written with printf %q, and every value this script writes
    # is made of characters that %q leaves alone, so there is nothing to
    # unquote but the empty string; anything else is refused, never evaluated.
    [[ $value == "''" ]] && value=''
    [[ $value =~ ^[A-Za-z0-9_./:=,@+-]*$ ]] || die "unexpected value for $name in $dir/session.env"
    printf -v "$name" '%s' "$value"
  done <"$dir/session.env"
}

resolve_dir() {
  local dir=${1:-${QUORVEX_PW_SESSION_DIR:-}}
  [[ -n $dir ]] || die "no session folder given and QUORVEX_PW_SESSION_DIR is not set"
  printf '%s\n' "$dir"
}

# --- environments of the daemons ----------------------------------------------

# Everything a daemon needs to find this session, and nothing of the caller's
# own desktop session (if any), so a test never touches the real one.  The bus
# and the portal processes also see an empty XDG_DATA_DIRS, so none of them
# finds service files, desktop files or portal descriptions of the installed
# desktop.
env_args() {
  local dir=$QUORVEX_PW_SESSION_DIR
  ENVARGS=(
    -u PIPEWIRE_REMOTE -u PIPEWIRE_CORE -u DISPLAY -u WAYLAND_DISPLAY
    -u DBUS_SYSTEM_BUS_ADDRESS
    XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR"
    PIPEWIRE_RUNTIME_DIR="$PIPEWIRE_RUNTIME_DIR"
    DBUS_SESSION_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS"
    XDG_CONFIG_HOME="$dir/home/config"
    XDG_STATE_HOME="$dir/home/state"
    XDG_CACHE_HOME="$dir/home/cache"
    XDG_DATA_HOME="$dir/home/data"
  )
  [[ $1 != bus ]] || ENVARGS+=(XDG_DATA_DIRS="$dir/empty")
}

session_env() {
  env_args session
  env "${ENVARGS[@]}" "$@"
}

# --- readiness ----------------------------------------------------------------

# wait_for SECONDS WHAT PIDVAR CMD... — polls CMD until it succeeds, giving up
# at once if the process recorded in PIDVAR (and PIDVAR_START) has died.
wait_for() {
  local secs=$1 what=$2 pidvar=$3 deadline startvar
  shift 3
  startvar=${pidvar}_START
  deadline=$((SECONDS + secs))
  until "$@" >/dev/null 2>&1; do
    if ! alive "${!pidvar}" "${!startvar}"; then
      log "$what exited before it was ready"
      return 1
    fi
    if ((SECONDS >= deadline)); then
      log "$what did not become ready within ${secs}s"
      return 1
    fi
    sleep 0.1
  done
}

bus_ready() {
  [[ -S $XDG_RUNTIME_DIR/bus ]] &&
    session_env timeout 2 dbus-send --session --print-reply --dest=org.freedesktop.DBus \
      /org/freedesktop/DBus org.freedesktop.DBus.GetId
}

pipewire_socket_ready() { [[ -S $XDG_RUNTIME_DIR/pipewire-0 ]]; }

# The session manager creates the "default" metadata once it has taken over;
# before that a client can connect, but nothing is linked or placed yet.
default_metadata_ready() {
  # pw-metadata exits 0 whether or not it found the object, so its answer is
  # what counts.  (pw-dump of this PipeWire leaves an empty "default" out.)
  session_env timeout 3 pw-metadata -n default 2>/dev/null |
    grep -q '^Found "default" metadata'
}

name_has_owner() {
  local reply
  reply=$(session_env timeout 2 gdbus call --session --dest org.freedesktop.DBus \
    --object-path /org/freedesktop/DBus --method org.freedesktop.DBus.NameHasOwner "$1") || return 1
  [[ $reply == "(true,)" ]]
}

camera_portal_ready() {
  session_env timeout 2 gdbus call --session --dest org.freedesktop.portal.Desktop \
    --object-path /org/freedesktop/portal/desktop \
    --method org.freedesktop.DBus.Properties.Get org.freedesktop.portal.Camera IsCameraPresent
}

# --- starting the pieces --------------------------------------------------------

start_pipewire() {
  local dir=$QUORVEX_PW_SESSION_DIR
  rm -f "$XDG_RUNTIME_DIR/pipewire-0" "$XDG_RUNTIME_DIR/pipewire-0.lock"
  launch QUORVEX_PW_PIPEWIRE_PID "$dir/pipewire.log" session pipewire
  write_env
  wait_for "$TIMEOUT" "pipewire" QUORVEX_PW_PIPEWIRE_PID pipewire_socket_ready || return 1
}

start_wireplumber() {
  local dir=$QUORVEX_PW_SESSION_DIR
  launch QUORVEX_PW_WIREPLUMBER_PID "$dir/wireplumber.log" session wireplumber
  write_env
  wait_for "$TIMEOUT" "wireplumber (default metadata)" QUORVEX_PW_WIREPLUMBER_PID default_metadata_ready || return 1
}

write_bus_config() {
  local dir=$QUORVEX_PW_SESSION_DIR
  # No <servicedir> and no <standard_session_servicedirs/>: nothing is ever
  # started by activation, only what this script launches itself is on the bus.
  cat >"$dir/dbus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:path=$XDG_RUNTIME_DIR/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
}

write_portal_description() {
  local dir=$QUORVEX_PW_SESSION_DIR
  mkdir -p "$dir/portals"
  # Only the Access interface: the portal wants a backend for it before it
  # exports org.freedesktop.portal.Camera.  No other backend is described, so
  # the portal never asks a desktop toolkit (absent here) for anything.
  cat >"$dir/portals/quorvexsession.portal" <<EOF
[portal]
DBusName=$PORTAL_BACKEND_NAME
Interfaces=org.freedesktop.impl.portal.Access;
UseIn=$PORTAL_DESKTOP
EOF
}

start_portal() {
  local dir=$QUORVEX_PW_SESSION_DIR
  write_portal_description
  launch QUORVEX_PW_PERMSTORE_PID "$dir/permission-store.log" \
    bus /usr/libexec/xdg-permission-store --replace
  write_env
  wait_for "$TIMEOUT" "xdg-permission-store" QUORVEX_PW_PERMSTORE_PID name_has_owner org.freedesktop.impl.portal.PermissionStore ||
    return 1
  # Without a stored answer the portal would ask the Access backend, which
  # does not exist, and the browser's request would wait forever.
  session_env timeout 5 gdbus call --session --dest org.freedesktop.impl.portal.PermissionStore \
    --object-path /org/freedesktop/impl/portal/PermissionStore \
    --method org.freedesktop.impl.portal.PermissionStore.SetPermission \
    devices true camera "" "['yes']" >/dev/null ||
    { log "could not grant the camera in the permission store"; return 1; }

  launch QUORVEX_PW_PORTAL_PID "$dir/portal.log" \
    bus XDG_DESKTOP_PORTAL_DIR="$dir/portals" XDG_CURRENT_DESKTOP="$PORTAL_DESKTOP" \
    GSETTINGS_SCHEMA_DIR="$GSETTINGS_SCHEMAS" GSETTINGS_BACKEND=memory \
    /usr/libexec/xdg-desktop-portal --replace --verbose
  write_env
  wait_for "$TIMEOUT" "xdg-desktop-portal (Camera interface)" QUORVEX_PW_PORTAL_PID camera_portal_ready || return 1
}

stop_all() {
  # Clients first, then the daemons they talk to, the bus last.
  terminate xdg-desktop-portal "$QUORVEX_PW_PORTAL_PID" "$QUORVEX_PW_PORTAL_PID_START"
  terminate xdg-permission-store "$QUORVEX_PW_PERMSTORE_PID" "$QUORVEX_PW_PERMSTORE_PID_START"
  terminate wireplumber "$QUORVEX_PW_WIREPLUMBER_PID" "$QUORVEX_PW_WIREPLUMBER_PID_START"
  terminate pipewire "$QUORVEX_PW_PIPEWIRE_PID" "$QUORVEX_PW_PIPEWIRE_PID_START"
  terminate dbus-daemon "$QUORVEX_PW_DBUS_PID" "$QUORVEX_PW_DBUS_PID_START"
}

remove_dir() {
  local dir=$1
  [[ -d $dir ]] || return 0
  [[ -f $dir/$MARKER ]] || die "$dir was not made by $PROG; not removing it"
  rm -rf -- "$dir"
}

print_exports() {
  local v
  for v in "${SESSION_VARS[@]}"; do
    printf 'export %s=%q\n' "$v" "${!v}"
  done
}

# do_start — starts the session described by the globals PORTAL, DIR, TIMEOUT
# and leaves its variables set in this shell.  On failure it stops whatever it
# had started, removes the folder and returns non-zero.
do_start() {
  local dir created=0
  reset_state
  need pipewire pipewire
  need wireplumber wireplumber
  need pw-metadata pipewire-bin
  need dbus-daemon dbus-daemon
  need dbus-send dbus-bin
  need setsid util-linux
  if ((PORTAL)); then
    need gdbus libglib2.0-bin
    need /usr/libexec/xdg-desktop-portal xdg-desktop-portal
    need /usr/libexec/xdg-permission-store xdg-desktop-portal
  fi

  if [[ -n $DIR ]]; then
    if [[ -e $DIR ]]; then
      [[ -d $DIR && -z $(ls -A "$DIR") ]] || die "$DIR exists and is not an empty folder"
    else
      mkdir -p "$DIR"
    fi
    dir=$(cd "$DIR" && pwd -P)
  else
    dir=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-pw-session.XXXXXX")
  fi
  touch "$dir/$MARKER"
  chmod 0700 "$dir"
  created=1

  QUORVEX_PW_SESSION_DIR=$dir
  QUORVEX_PW_PORTAL=$PORTAL
  XDG_RUNTIME_DIR=$dir/runtime
  PIPEWIRE_RUNTIME_DIR=$XDG_RUNTIME_DIR
  DBUS_SESSION_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/bus
  mkdir -p "$XDG_RUNTIME_DIR" "$dir/empty" "$dir/home/config" "$dir/home/state" \
    "$dir/home/cache" "$dir/home/data"
  chmod 0700 "$XDG_RUNTIME_DIR"
  write_env
  # Interrupted half-way, leave nothing behind.
  trap 'stop_all; remove_dir "$QUORVEX_PW_SESSION_DIR"; exit 130' INT TERM

  if ! {
    write_bus_config &&
    launch QUORVEX_PW_DBUS_PID "$dir/dbus.log" \
      bus dbus-daemon --nofork --nopidfile --config-file="$dir/dbus.conf" &&
    write_env &&
    wait_for "$TIMEOUT" "dbus-daemon" QUORVEX_PW_DBUS_PID bus_ready &&
    start_pipewire &&
    start_wireplumber &&
    { ((!PORTAL)) || start_portal; }
  }; then
    log "the session did not start; logs:"
    local f
    for f in "$dir"/*.log; do
      [[ -s $f ]] || continue
      log "--- ${f##*/} (last lines)"
      tail -n 15 "$f" >&2 || true
    done
    stop_all
    ((created)) && remove_dir "$dir"
    reset_state
    trap - INT TERM
    return 1
  fi
  trap - INT TERM
  write_env
}

parse_start_opts() {
  PORTAL=0 DIR='' TIMEOUT=$DEFAULT_TIMEOUT
  while (($#)); do
    case $1 in
      --portal) PORTAL=1 ;;
      --dir) (($# >= 2)) || die "--dir needs a folder"; DIR=$2; shift ;;
      --dir=*) DIR=${1#--dir=} ;;
      --timeout) (($# >= 2)) || die "--timeout needs seconds"; TIMEOUT=$2; shift ;;
      --timeout=*) TIMEOUT=${1#--timeout=} ;;
      --) shift; REST=("$@"); return 0 ;;
      -h|--help) usage; exit 0 ;;
      *) die "unknown option '$1' (see --help)" ;;
    esac
    shift
  done
  REST=()
}

cmd_start() {
  parse_start_opts "$@"
  ((${#REST[@]} == 0)) || die "start takes no command; use 'run -- CMD'"
  [[ $TIMEOUT =~ ^[0-9]+$ ]] || die "--timeout takes whole seconds"
  do_start
  log "session ready in $QUORVEX_PW_SESSION_DIR (stop it with: $PROG stop)"
  print_exports
}

cmd_stop() {
  (($# <= 1)) || die "stop takes at most one folder"
  local dir
  dir=$(resolve_dir "${1:-}")
  if [[ ! -d $dir ]]; then
    log "no session in $dir (already stopped)"
    return 0
  fi
  [[ -f $dir/$MARKER ]] || die "$dir was not made by $PROG"
  load_env "$dir" || true
  stop_all
  remove_dir "$dir"
  log "session in $dir stopped"
}

cmd_restart_daemon() {
  (($# <= 1)) || die "restart-daemon takes at most one folder"
  local dir
  dir=$(resolve_dir "${1:-}")
  [[ -f $dir/$MARKER ]] || die "no session in $dir"
  load_env "$dir" || die "no session.env in $dir"
  TIMEOUT=$DEFAULT_TIMEOUT
  alive "$QUORVEX_PW_DBUS_PID" "$QUORVEX_PW_DBUS_PID_START" ||
    die "the session's bus is gone; start a new session"

  terminate pipewire "$QUORVEX_PW_PIPEWIRE_PID" "$QUORVEX_PW_PIPEWIRE_PID_START"
  # WirePlumber 0.4 quits when its daemon goes away; give it a moment to do
  # so, and end it if it lingers, since it never reconnects by itself.
  local i
  for ((i = 0; i < 20; i++)); do
    alive "$QUORVEX_PW_WIREPLUMBER_PID" "$QUORVEX_PW_WIREPLUMBER_PID_START" || break
    sleep 0.1
  done
  terminate wireplumber "$QUORVEX_PW_WIREPLUMBER_PID" "$QUORVEX_PW_WIREPLUMBER_PID_START"
  QUORVEX_PW_PIPEWIRE_PID='' QUORVEX_PW_PIPEWIRE_PID_START=''
  QUORVEX_PW_WIREPLUMBER_PID='' QUORVEX_PW_WIREPLUMBER_PID_START=''
  write_env

  start_pipewire || die "pipewire did not come back; see $dir/pipewire.log"
  start_wireplumber || die "wireplumber did not come back; see $dir/wireplumber.log"
  if ((QUORVEX_PW_PORTAL)); then
    # The portal watches for the daemon's socket and reconnects by itself;
    # it only has to answer again.
    wait_for "$TIMEOUT" "xdg-desktop-portal (Camera interface)" QUORVEX_PW_PORTAL_PID camera_portal_ready ||
      die "the portal no longer answers; see $dir/portal.log"
  fi
  write_env
  log "pipewire restarted (pid $QUORVEX_PW_PIPEWIRE_PID, wireplumber pid $QUORVEX_PW_WIREPLUMBER_PID)"
}

cmd_status() {
  (($# <= 1)) || die "status takes at most one folder"
  local dir rc=0 name var start
  dir=$(resolve_dir "${1:-}")
  load_env "$dir" || die "no session in $dir"
  for name in DBUS PIPEWIRE WIREPLUMBER PERMSTORE PORTAL; do
    var=QUORVEX_PW_${name}_PID
    [[ -n ${!var} ]] || continue
    start=${var}_START
    if alive "${!var}" "${!start}"; then
      echo "${name,,}: running (pid ${!var})"
    else
      echo "${name,,}: gone (was pid ${!var})"
      rc=1
    fi
  done
  return "$rc"
}

cmd_run() {
  parse_start_opts "$@"
  ((${#REST[@]} > 0)) || die "run needs a command after --"
  [[ $TIMEOUT =~ ^[0-9]+$ ]] || die "--timeout takes whole seconds"
  do_start
  # Global, not local: the EXIT trap runs after this function has returned.
  RUN_DIR=$QUORVEX_PW_SESSION_DIR
  # Stop the session whatever happens to the command.
  trap 'load_env "$RUN_DIR" && stop_all; remove_dir "$RUN_DIR"' EXIT
  local v
  for v in "${SESSION_VARS[@]}"; do export "${v?}"; done
  # The command runs as a child this shell waits for, so that a signal to this
  # shell is handled at once (bash would only run a trap after a foreground
  # command ends): it is passed on to the command, and the run ends with the
  # usual 128+signal status once the session is gone.  The explicit
  # redirection keeps the caller's standard input for the command.
  "${REST[@]}" <&0 &
  RUN_PID=$!
  trap 'forward_signal INT 130' INT
  trap 'forward_signal TERM 143' TERM
  local rc=0
  wait "$RUN_PID" || rc=$?
  return "$rc"
}

# shellcheck disable=SC2317 # reached through the INT and TERM traps
forward_signal() {
  local sig=$1 status=$2 i
  trap '' INT TERM
  kill -"$sig" "$RUN_PID" 2>/dev/null || true
  # A background child of a non-interactive shell starts with SIGINT ignored,
  # so an interrupt is followed by SIGTERM, and that by SIGKILL.
  for ((i = 0; i < 40; i++)); do
    kill -0 "$RUN_PID" 2>/dev/null || break
    ((i != 5)) || kill -TERM "$RUN_PID" 2>/dev/null || true
    sleep 0.1
  done
  kill -KILL "$RUN_PID" 2>/dev/null || true
  wait "$RUN_PID" 2>/dev/null || true
  exit "$status"
}

main() {
  (($#)) || { usage >&2; exit 2; }
  local cmd=$1
  shift
  case $cmd in
    start) cmd_start "$@" ;;
    stop) cmd_stop "$@" ;;
    restart-daemon) cmd_restart_daemon "$@" ;;
    status) cmd_status "$@" ;;
    run) cmd_run "$@" ;;
    -h|--help|help) usage ;;
    *) die "unknown command '$cmd' (see --help)" ;;
  esac
}

main "$@"
