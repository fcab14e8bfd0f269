#!/usr/bin/env bash
# Runs a Windows program under wine64 in the prefix made by scripts/wine-prefix.sh, with its own
# wineserver, and gives it at most LIMIT seconds:
#   wine.sh PREFIX LIMIT PROGRAM.exe [ARGS...]
set -euo pipefail
export WINEPREFIX="$(realpath -m "$1")" WINEDEBUG="${WINEDEBUG:--all}" DISPLAY=
export WINEDLLOVERRIDES="mscoree,mshtml="
limit="$2"
shift 2
timeout 20 /usr/lib/wine/wineserver -k 2>/dev/null || true
status=0
# The emulated device node is a pseudo-terminal: a Wine process that opened it gets SIGHUP when
# the device is pulled out, and must live on, as it does with a real device.
timeout -k 5 "$limit" bash -c 'trap "" HUP; exec "$@"' wine /usr/lib/wine/wine64 "$@" \
  || status=$?
timeout 20 /usr/lib/wine/wineserver -k 2>/dev/null || true
exit "$status"
