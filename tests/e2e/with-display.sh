#!/usr/bin/env bash
# Runs a command inside a private headless desktop session: its own Xvfb display,
# its own D-Bus session bus and accessibility (AT-SPI) bus. Everything started here
# is stopped on exit, whatever the command's outcome. Exit code: the command's.
#
#   tests/e2e/with-display.sh COMMAND [ARGS...]
set -uo pipefail

# Become a child subreaper (kept across exec) so that daemons the buses start stay in
# this process tree: they are reaped here and a test runner's tree kill reaches them.
if [ -z "${VELMORA_E2E_SUBREAPER:-}" ]; then
  export VELMORA_E2E_SUBREAPER=1
  exec python3 -c 'import ctypes, os, sys
ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0)
os.execv(sys.argv[1], sys.argv[1:])' /usr/bin/env bash "$0" "$@"
fi
unset VELMORA_E2E_SUBREAPER

if [ $# -eq 0 ]; then
  echo "usage: $0 COMMAND [ARGS...]" >&2
  exit 2
fi

log() { echo "with-display: $*" >&2; }

# Session folders left by runs that were killed outright (their owner is gone).
for stale in "${TMPDIR:-/tmp}"/velmora-e2e.*; do
  [ -f "$stale/owner" ] || continue
  kill -0 "$(cat "$stale/owner" 2>/dev/null)" 2>/dev/null || rm -rf "$stale"
done

session_dir=$(mktemp -d "${TMPDIR:-/tmp}/velmora-e2e.XXXXXX") || exit 1
chmod 700 "$session_dir"
echo $$ >"$session_dir/owner"
# Every process of this session inherits the marker, so strays can be found by it.
marker="VELMORA_E2E_SESSION=$session_dir"
export VELMORA_E2E_SESSION="$session_dir"

xvfb_pid=""
dbus_pid=""
cmd_pid=""

# Pids of live processes whose environment carries this session's marker.
marked_pids() {
  local env_file pid
  for env_file in /proc/[0-9]*/environ; do
    pid=${env_file#/proc/}
    pid=${pid%/environ}
    [ "$pid" = "$$" ] && continue
    { tr '\0' '\n' <"$env_file"; } 2>/dev/null | grep -qxF "$marker" && echo "$pid"
  done
}

# Sends TERM, waits up to ~5 s for exit, then KILL.
stop_pids() {
  local pids=("$@") live i p
  [ ${#pids[@]} -eq 0 ] && return 0
  kill -TERM "${pids[@]}" 2>/dev/null
  for ((i = 0; i < 50; i++)); do
    live=()
    for p in "${pids[@]}"; do
      if kill -0 "$p" 2>/dev/null && [ "$(awk '{print $3}' "/proc/$p/stat" 2>/dev/null)" != "Z" ]; then
        live+=("$p")
      fi
    done
    [ ${#live[@]} -eq 0 ] && return 0
    sleep 0.1
  done
  kill -KILL "${live[@]}" 2>/dev/null
  return 0
}

cleanup() {
  trap - EXIT INT TERM HUP
  [ -n "$cmd_pid" ] && stop_pids "$cmd_pid"
  # Programs under test and their children first, then the buses, then the display.
  mapfile -t strays < <(marked_pids | grep -vxF -e "${dbus_pid:-x}" -e "${xvfb_pid:-x}")
  stop_pids "${strays[@]}"
  [ -n "$dbus_pid" ] && stop_pids "$dbus_pid"
  mapfile -t strays < <(marked_pids | grep -vxF -e "${xvfb_pid:-x}")
  stop_pids "${strays[@]}"
  [ -n "$xvfb_pid" ] && stop_pids "$xvfb_pid"
  wait 2>/dev/null
  rm -rf "$session_dir"
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
trap 'exit 129' HUP

# A bare CI environment may lack these; Qt and the bus launcher want them.
[ -n "${HOME:-}" ] || export HOME="$session_dir/home"
mkdir -p "$HOME" 2>/dev/null
export XDG_RUNTIME_DIR="$session_dir/runtime"
mkdir -m 700 -p "$XDG_RUNTIME_DIR"
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS AT_SPI_BUS_ADDRESS NO_AT_BRIDGE \
  SESSION_MANAGER XAUTHORITY

# Starts a daemon that reports one line (display number, bus address) on descriptor 3; its pid
# goes into the variable named PIDVAR at once (so clean-up finds it even if it never reports)
# and the line into VAR. Usage: start_reporting PIDVAR VAR NAME COMMAND...
start_reporting() {
  local pidvar=$1 var=$2 name=$3 line=""
  shift 3
  local fifo="$session_dir/$name.fifo"
  mkfifo "$fifo"
  "$@" 3>"$fifo" </dev/null >"$session_dir/$name.log" 2>&1 &
  printf -v "$pidvar" '%s' "$!"
  if ! read -r -t 30 line <"$fifo" || [ -z "$line" ]; then
    log "$name did not start"
    cat "$session_dir/$name.log" >&2
    exit 1
  fi
  printf -v "$var" '%s' "$line"
}

# Display: Xvfb picks a free number itself.
start_reporting xvfb_pid display_num xvfb Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset
export DISPLAY=":$display_num"

# Session bus, kept as our own child so that it is in our process tree.
start_reporting dbus_pid bus_address dbus dbus-daemon --session --nofork --nopidfile --print-address=3
export DBUS_SESSION_BUS_ADDRESS="$bus_address"

# Accessibility bus: activated through the session bus; asking for its address starts it.
a11y_address=""
for ((i = 0; i < 60; i++)); do
  a11y_address=$(dbus-send --session --print-reply=literal --reply-timeout=5000 \
    --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress 2>/dev/null | tr -d ' ')
  [ -n "$a11y_address" ] && break
  sleep 0.5
done
if [ -z "$a11y_address" ]; then
  log "the accessibility bus did not start"
  exit 1
fi
dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus \
  org.freedesktop.DBus.Properties.Set string:org.a11y.Status string:IsEnabled \
  variant:boolean:true >/dev/null 2>&1 || log "could not set org.a11y.Status.IsEnabled"
# The registry on the accessibility bus must answer before any client looks for apps.
registry_ok=""
for ((i = 0; i < 60; i++)); do
  if dbus-send --bus="$a11y_address" --print-reply --reply-timeout=5000 \
    --dest=org.a11y.atspi.Registry /org/a11y/atspi/accessible/root \
    org.freedesktop.DBus.Properties.Get string:org.a11y.atspi.Accessible \
    string:ChildCount >/dev/null 2>&1; then
    registry_ok=1
    break
  fi
  sleep 0.5
done
if [ -z "$registry_ok" ]; then
  log "the accessibility registry did not start"
  exit 1
fi

export QT_QPA_PLATFORM=xcb
export QT_ACCESSIBILITY=1
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
export GTK_A11Y=atspi

# In a sanitizer build (VELMORA_SANITIZER_REPORTS=1) every program started here writes its
# reports into the session, and any report fails the command.
if [ -n "${VELMORA_SANITIZER_REPORTS:-}" ]; then
  for var in ASAN_OPTIONS UBSAN_OPTIONS TSAN_OPTIONS; do
    export "$var=${!var:-}${!var:+:}log_path=$session_dir/sanitizer"
  done
fi

"$@" </dev/null &
cmd_pid=$!
wait "$cmd_pid"
status=$?
cmd_pid=""
# Programs still running may yet report: they are stopped first.
mapfile -t strays < <(marked_pids | grep -vxF -e "${dbus_pid:-x}" -e "${xvfb_pid:-x}")
stop_pids "${strays[@]}"
for report in "$session_dir"/sanitizer.*; do
  [ -f "$report" ] || continue
  log "sanitizer report $(basename "$report"):"
  cat "$report" >&2
  status=1
done
exit "$status"
