#!/usr/bin/env bash
# Starts and stops lumo_desktop_keeper.exe (desktop_keeper.cpp), which keeps Wine's desktop of
# the test prefix open from before the first dialog test to after the last:
#   desktop-keeper.sh start STATE -- WINE-RUN... lumo_desktop_keeper.exe
#   desktop-keeper.sh stop STATE
# STATE names the keeper's files (STATE.pid, STATE.ready). start returns once the desktop is
# up (at most 60 s).
set -euo pipefail
action="$1"
state="$(realpath -m "$2")"
shift 2
[ "${1:-}" = "--" ] && shift

stop() {
  if [ -f "$state.pid" ]; then
    kill "$(cat "$state.pid")" 2>/dev/null || true
  fi
  rm -f "$state.pid" "$state.ready"
}

case "$action" in
  start)
    stop
    mkdir -p "$(dirname "$state")"
    # In a session of its own and on /dev/null: CTest waits for every holder of its output
    # pipe, and would wait for the keeper.
    setsid "$@" "Z:${state//\//\\}.ready" </dev/null >/dev/null 2>&1 &
    echo $! >"$state.pid"
    for ((i = 0; i < 600; i++)); do
      if [ -e "$state.ready" ]; then
        echo "Wine's desktop kept open by process $(cat "$state.pid")"
        exit 0
      fi
      kill -0 "$(cat "$state.pid")" 2>/dev/null || break
      sleep 0.1
    done
    echo "$0: the desktop keeper did not start (or not within 60 s)" >&2
    stop
    exit 1
    ;;
  stop) stop ;;
  *) sed -n '2,8p' "$0" >&2; exit 2 ;;
esac
