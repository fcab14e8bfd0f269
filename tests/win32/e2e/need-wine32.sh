#!/usr/bin/env bash
# Runs its arguments only where Debian's wine32 is installed (the 32-bit loader that runs the
# shipped i686 Lumo_Tool.exe in the 64-bit prefix); otherwise says so loudly and exits 77,
# which CTest reports as a skipped test, never as a passed one.
if [ ! -x /usr/lib/wine/wine ] ||
   ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  echo "SKIPPED: wine32 is not installed, so the i686 Lumo_Tool.exe cannot run here" \
       "(scripts/install-deps.sh installs it: dpkg --add-architecture i386, wine32:i386)" >&2
  exit 77
fi
exec "$@"
