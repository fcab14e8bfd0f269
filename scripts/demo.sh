#!/usr/bin/env bash
# The demo: the real Lumo_Tool against the emulated Orvel-M8 on a virtual display. The device
# is plugged in after the window opens, Update is pressed, the variant image goes over in full,
# screenshots are saved and the emulator prints its verdict. Needs no device and no display.
#   scripts/demo.sh            (from a fresh clone on Debian 12: installs and builds first)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/linux --target Lumo_Tool orvel_emulator -j "$(nproc)"

out="$PWD/build/linux/demo"
rm -rf "$out" && mkdir -p "$out"

# A virtual display of its own: the first free number from 90 up.
display=90
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
  display=$((display + 1))
done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
xvfb_pid=$!
trap 'kill "$xvfb_pid" 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done

echo "== Lumo_Tool on virtual display :$display against the emulated device (product 7B16)"
status=0
DISPLAY=":$display" LUMO_DEMO_OUT="$out" \
  build/linux/emulator/orvel-emulator --product 7b16 --verbose \
    --scenario "plug in after 2500 ms" --transcript "$out/transcript.txt" --timeout 120 \
    -- scripts/demo-session.sh build/linux/app/linux/Lumo_Tool || status=$?

echo
echo "Screenshots:  $(cd "$out" && ls ./*.png | tr '\n' ' ')"
echo "Transcript:   $out/transcript.txt"
exit "$status"
