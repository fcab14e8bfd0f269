#!/usr/bin/env bash
# Takes the README's screenshot of the Windows program: the x86_64 Lumo_Tool.exe under wine64
# on a virtual X display (Xvfb), in a prefix of its own that uses Wine's X11 driver (made by
# scripts/wine-prefix.sh, so without visual styles, as there).
#   scripts/screenshot-win32.sh [OUT.png]     (needs build/win64 built first)
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-docs/lumo_tool_windows.png}"
exe="$PWD/build/win64/app/win32/Lumo_Tool.exe"
prefix="$PWD/build/screenshot-prefix"
display=":97"
[ -f "$exe" ] || { echo "build $exe first" >&2; exit 1; }

scripts/wine-prefix.sh "$prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
reg() { timeout 60 /usr/lib/wine/wine64 reg "$@" >/dev/null 2>&1 || true; }
# The X11 driver instead of the null one.
reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f
timeout 60 /usr/lib/wine/wineserver -w

Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
cleanup() {
  timeout 20 /usr/lib/wine/wineserver -k 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
export DISPLAY="$display"
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

# A Wine desktop of its own draws the window's frame and title bar (there is no window manager).
timeout 120 /usr/lib/wine/wine64 explorer /desktop=shot,640x480 "$exe" >/dev/null 2>&1 &
window=""
for _ in $(seq 150); do
  window=$(xwininfo -root -tree 2>/dev/null | awk '/"shot - Wine desktop"/ {print $1; exit}')
  [ -n "$window" ] && break
  sleep 0.2
done
[ -n "$window" ] || { echo "the Wine desktop did not appear" >&2; exit 1; }
sleep 4  # let the dialog open and paint
mkdir -p "$(dirname "$out")"
# The desktop around the dialog is one flat colour: trim it away.
import -window "$window" png:- | convert png:- -trim +repage "$out"
echo "$out"
