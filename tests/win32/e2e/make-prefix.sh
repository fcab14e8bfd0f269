#!/usr/bin/env bash
# Makes the Wine prefix that the HID backend tests, the inspector and the end-to-end tests
# share (never the user's own prefix), with Wine's null graphics driver so that windows work
# without a display:
#   make-prefix.sh PREFIX
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
prefix="$(realpath -m "$1")"
"$here/../../../scripts/wine-prefix.sh" "$prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all DISPLAY=
timeout 60 /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ \
  /d null /f >/dev/null 2>&1
timeout 60 /usr/lib/wine/wineserver -w
