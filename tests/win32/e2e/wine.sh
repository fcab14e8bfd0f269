#!/usr/bin/env bash
# Runs a Windows program under wine64 in the prefix made by scripts/wine-prefix.sh, with its own
# wineserver, and gives it at most LIMIT seconds:
#   wine.sh PREFIX LIMIT PROGRAM.exe [ARGS...]
# WINE_RUN_RELAY="dll.Function;..." limits Wine's relay trace to those calls (with
# WINEDEBUG=+relay); the trace goes to standard error.
set -euo pipefail
export WINEPREFIX="$(realpath -m "$1")" WINEDEBUG="${WINEDEBUG:--all}" DISPLAY=
export WINEDLLOVERRIDES="mscoree,mshtml="
limit="$2"
shift 2
# Wine's relay trace (WINEDEBUG=+relay) limited to WINE_RUN_RELAY's calls, for this run only.
relay_key='HKCU\Software\Wine\Debug'
if [ -n "${WINE_RUN_RELAY:-}" ]; then
  timeout 60 /usr/lib/wine/wine64 reg add "$relay_key" /v RelayInclude /d "$WINE_RUN_RELAY" /f \
    >/dev/null 2>&1
fi
timeout 20 /usr/lib/wine/wineserver -k 2>/dev/null || true
status=0
# The emulated device node is a pseudo-terminal: a Wine process that opened it gets SIGHUP when
# the device is pulled out, and must live on, as it does with a real device.
timeout -k 5 "$limit" bash -c 'trap "" HUP; exec "$@"' wine /usr/lib/wine/wine64 "$@" \
  || status=$?
if [ -n "${WINE_RUN_RELAY:-}" ]; then
  timeout 60 /usr/lib/wine/wine64 reg delete "$relay_key" /v RelayInclude /f >/dev/null 2>&1 || true
fi
timeout 20 /usr/lib/wine/wineserver -k 2>/dev/null || true
exit "$status"
