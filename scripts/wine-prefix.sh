#!/usr/bin/env bash
# Wine prefixes for the tests (never the user's own prefix).
#
#   scripts/wine-prefix.sh make PREFIX
#       Makes a fresh prefix in PREFIX (about 20 s): 64-bit, no Mono/Gecko, and Wine's HID bus
#       reading hidraw through libudev ("Enable SDL"=0). `scripts/wine-prefix.sh PREFIX` is the
#       same. Prints nothing on success.
#
#   scripts/wine-prefix.sh run PREFIX -- PROGRAM.exe ARGS...
#       Runs PROGRAM.exe under wine64 in a private copy of PREFIX (hard links, so it is quick
#       and PREFIX stays untouched), with its own wineserver started in the current
#       environment: run it inside the emulator's testbed, e.g.
#         orvel-emulator -- scripts/wine-prefix.sh run build/wineprefix -- hid_probe.exe start
#       The program gets WINE_RUN_TIMEOUT seconds (default 90); the exit status is the
#       program's (124 on timeout). The wineserver is ended and the copy removed afterwards.
#       Environment for the program: WINEDEBUG=-all unless set, DISPLAY as given (unset it
#       or run Xvfb for windows; the graphics driver is "null" unless DISPLAY is set).
#       WINE_RUN_RELAY="dll.Function;..." limits Wine's relay trace to those calls (set
#       WINEDEBUG=+relay as well); the trace goes to the program's standard error.
set -euo pipefail

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
export WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml="

make_prefix() {
  local prefix
  prefix="$(realpath -m "$1")"
  rm -rf "$prefix"
  mkdir -p "$(dirname "$prefix")"
  local log="$prefix.log"
  if ! (
    export WINEPREFIX="$prefix" DISPLAY=
    timeout 180 "$wine" wineboot -i
    # Wine's HID bus reads hidraw through libudev; SDL would take the device away from it.
    timeout 60 "$wine" reg add 'HKLM\System\CurrentControlSet\Services\winebus' \
      /v 'Enable SDL' /t REG_DWORD /d 0 /f
    # Windows without a display: Wine's null graphics driver creates real windows, controls,
    # message boxes and memory device contexts, and paints nothing.
    timeout 60 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
    # No visual styles: Wine ignores SetWindowTheme(hwnd, "", "") and would keep drawing the
    # status group box's caption in the theme's colour instead of the connection colour.
    timeout 60 "$wine" reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\ThemeManager' \
      /v ThemeActive /d 0 /f
    timeout 60 "$wineserver" -w
  ) >"$log" 2>&1; then
    echo "$0: making the Wine prefix $prefix failed:" >&2
    cat "$log" >&2
    exit 1
  fi
  rm -f "$log"
}

run_in_copy() {
  local template copy rc
  template="$(realpath "$1")"
  shift
  [ "${1:-}" = "--" ] && shift
  [ $# -ge 1 ] || { echo "usage: $0 run PREFIX -- PROGRAM.exe ARGS..." >&2; exit 2; }
  [ -f "$template/system.reg" ] || { echo "$0: no Wine prefix in $template" >&2; exit 2; }
  copy="$(mktemp -d "${TMPDIR:-/tmp}/orvel-wine.XXXXXX")"
  # Registry files are rewritten by rename, never in place, so hard links keep the template
  # as it was; the registry files are copied anyway to be safe.
  cp -al "$template/." "$copy/"
  rm -f "$copy"/*.reg && cp "$template"/*.reg "$copy/"
  export WINEPREFIX="$copy"
  if [ -n "${DISPLAY:-}" ]; then
    timeout 60 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11 /f >/dev/null 2>&1 || true
  fi
  # Wine's relay trace (WINEDEBUG=+relay) of these calls alone, in the copy only.
  if [ -n "${WINE_RUN_RELAY:-}" ]; then
    timeout 60 "$wine" reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /d "$WINE_RUN_RELAY" \
      /f >/dev/null 2>&1
  fi
  # A wineserver of this prefix started here, inside the caller's environment (the testbed).
  timeout 10 "$wineserver" -k >/dev/null 2>&1 || true
  rc=0
  # The emulated device node is a pseudo-terminal: a Wine process that opened it gets SIGHUP
  # when the device is pulled out, and must live on, as it does with a real device.
  timeout --kill-after=5 "${WINE_RUN_TIMEOUT:-90}" bash -c 'trap "" HUP; exec "$@"' wine \
    "$wine" "$@" || rc=$?
  timeout 10 "$wineserver" -k >/dev/null 2>&1 || true
  timeout 10 "$wineserver" -w >/dev/null 2>&1 || true
  rm -rf "$copy"
  return "$rc"
}

case "${1:-}" in
  make) make_prefix "$2" ;;
  run) shift; run_in_copy "$@" ;;
  ""|-h|--help) sed -n '2,20p' "$0"; exit 2 ;;
  *) make_prefix "$1" ;;
esac
