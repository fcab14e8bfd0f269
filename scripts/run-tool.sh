#!/usr/bin/env bash
# Runs Lumo_Tool from a fresh clone on Debian 12: installs what it needs, builds it and opens
# its window. Without a graphical display it says so and points to the demo instead.
#   scripts/run-tool.sh
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "Lumo_Tool is a windowed program, and this session has no display" \
       "(DISPLAY and WAYLAND_DISPLAY are not set)."
  echo "Run this from a desktop session, or watch the tool update the emulated device on a"
  echo "virtual display:  scripts/demo.sh"
  exit 2
fi

scripts/install-deps.sh
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/linux --target Lumo_Tool -j "$(nproc)"

if [ "$(id -u)" -ne 0 ] && [ ! -e /etc/udev/rules.d/70-orvel-m8.rules ] &&
   [ ! -e /usr/lib/udev/rules.d/70-orvel-m8.rules ]; then
  echo "Note: to open the device without root, install the udev rule once:"
  echo "  sudo cmake --install build/linux && sudo udevadm control --reload"
  echo "then plug the device in again."
fi
exec build/linux/app/linux/Lumo_Tool
