#!/usr/bin/env bash
# The user's part of the demo, run by scripts/demo.sh inside the emulator: starts Lumo_Tool,
# waits for the device, presses Update (and answers Yes to the question of a build with
# stand-in images), waits for the success box, closes both. Screenshots go to $LUMO_DEMO_OUT.
set -euo pipefail
tool="$1"
out="${LUMO_DEMO_OUT:?}"
title="Orvel-M8 Firmware Update V$(cat "$(dirname "$0")/../VERSION")"
stand_in_title="$title (stand-in images)"

say() { echo "demo: $*" >&2; }
shot() { import -window "$1" "$out/$2" && say "saved $2"; }

"$tool" &
tool_pid=$!
trap 'kill "$tool_pid" 2>/dev/null || true' EXIT

window="$(timeout 20 xdotool search --sync --onlyvisible --name "^Orvel-M8 Firmware Update" | head -1)"
shown_title="$(xdotool getwindowname "$window")"
case "$shown_title" in
  "$title" | "$stand_in_title") ;;
  *) say "unexpected window title: $shown_title"; exit 1 ;;
esac
say "window shown ($shown_title), no device yet"
sleep 0.5
shot "$window" 1-disconnected.png

say "waiting for the device to be plugged in"
sleep 4
xdotool windowfocus --sync "$window"
xdotool key Return  # Update has the keyboard focus
say "Update pressed"
if [ "$shown_title" = "$stand_in_title" ]; then
  question="$(timeout 10 xdotool search --sync --onlyvisible --name '^Lumo_Tool$' | head -1)"
  sleep 0.5
  shot root 2-stand-in-question.png
  xdotool windowfocus --sync "$question"
  xdotool key y  # No is the default; Yes is asked for by its letter
  for _ in $(seq 50); do xdotool getwindowname "$question" >/dev/null 2>&1 || break; sleep 0.1; done
  say "stand-in question answered Yes"
fi

sleep 5
shot "$window" 3-updating.png

box="$(timeout 60 xdotool search --sync --onlyvisible --name '^Lumo_Tool$' | head -1)"
sleep 0.5
say "success box shown"
shot root 4-success.png
xdotool windowfocus --sync "$box"
xdotool key Return
sleep 0.5
xdotool windowfocus --sync "$window"
xdotool key Escape  # nothing is updating: the window closes at once
timeout 10 tail --pid="$tool_pid" -f /dev/null
wait "$tool_pid"
trap - EXIT
say "Lumo_Tool ended"
