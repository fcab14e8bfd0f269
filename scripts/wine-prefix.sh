#!/usr/bin/env bash
# Makes a fresh Wine prefix for the tests in the folder given (never the user's own prefix):
#   scripts/wine-prefix.sh BUILD_DIR/wineprefix
# Prints nothing on success. Use it with WINEPREFIX=<that folder> and WINEDEBUG=-all.
set -euo pipefail
prefix="$(realpath -m "$1")"
wine=/usr/lib/wine/wine64
rm -rf "$prefix"
mkdir -p "$(dirname "$prefix")"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
timeout 180 "$wine" wineboot -i >/dev/null 2>&1
# Wine's HID bus reads hidraw through libudev; SDL would take the device away from it.
timeout 60 "$wine" reg add 'HKLM\System\CurrentControlSet\Services\winebus' \
  /v 'Enable SDL' /t REG_DWORD /d 0 /f >/dev/null 2>&1
# Windows without a display: Wine's null graphics driver creates real windows, controls,
# message boxes and memory device contexts, and paints nothing.
timeout 60 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
# No visual styles: Wine ignores SetWindowTheme(hwnd, "", "") and would keep drawing the
# status group box's caption in the theme's colour instead of the connection colour.
timeout 60 "$wine" reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\ThemeManager' \
  /v ThemeActive /d 0 /f >/dev/null 2>&1
timeout 60 /usr/lib/wine/wineserver -w
