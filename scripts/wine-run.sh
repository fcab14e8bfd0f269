#!/usr/bin/env bash
# Runs a Windows program under wine64 in the test prefix, without a display (Wine's null
# graphics driver, set up by scripts/wine-prefix.sh). CMake uses it as the emulator of the
# x86_64 build, so CTest and gtest_discover_tests run the test programs through it:
#   scripts/wine-run.sh PREFIX PROGRAM.exe [ARGS...]
set -euo pipefail
export WINEPREFIX="$1"
shift
export WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
exec /usr/lib/wine/wine64 "$@"
