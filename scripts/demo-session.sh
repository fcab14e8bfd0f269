#!/usr/bin/env bash
# The user's part of the demo, run by scripts/demo.sh inside the emulator: starts Lumo_Tool,
# waits for the device, presses Update, waits for the success box, closes both. Screenshots
# go to $LUMO_DEMO_OUT.
set -euo pipefail
tool="$1"
out="${LUMO_DEMO_OUT:?}"
title="Orvel-M8 Firmware Update V0.42"

say() { echo "demo: $*" >&2; }
shot() { import -window "$1" "$out/$2" && say "saved $2"; }

"$tool" &
tool_pid=$!
trap 'kill "$tool_pid" 2>/dev/null || true' EXIT

window="$(timeout 20 xdotool search --sync --onlyvisible --name "^$title\$" | head -1)"
say "window shown, no device yet"
sleep 0.5
shot "$window" 1-disconnected.png

say "waiting for the device to be plugged in"
sleep 4
xdotool windowfocus --sync "$window"
xdotool key Return  # Update has the keyboard focus
say "Update pressed"

sleep 5
shot "$window" 2-updating.png

box="$(timeout 60 xdotool search --sync --onlyvisible --name '^Lumo_Tool$' | head -1)"
sleep 0.5
say "success box shown"
shot root 3-success.png
xdotool windowfocus --sync "$box"
xdotool key Return
sleep 0.5
xdotool windowfocus --sync "$window"
xdotool key Escape  # nothing is updating: the window closes at once
timeout 10 tail --pid="$tool_pid" -f /dev/null
wait "$tool_pid"
trap - EXIT
say "Lumo_Tool ended"
