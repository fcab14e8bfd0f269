#!/usr/bin/env bash
# Can 32-bit Windows programs run here? Decided by trying, not by what is installed: Debian's
# wine32 installs on any amd64 machine, but a kernel built without 32-bit support cannot start
# its loader, and then wineboot leaves a prefix without its 32-bit system (syswow64).
#   scripts/check-wine32.sh [PREFIX]
# Prints one line: "wine32 runs here" (exit 0), or why it cannot (exit 1). With PREFIX, the
# prefix (made by scripts/wine-prefix.sh) must hold the 32-bit system too.
set -uo pipefail
loader=/usr/lib/wine/wine

cannot() {
  echo "$*"
  exit 1
}

if [ ! -x "$loader" ] ||
   ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  cannot "wine32 is not installed (scripts/install-deps.sh installs it:" \
         "dpkg --add-architecture i386, wine32:i386)"
fi

# The loader only prints its version, but it is a 32-bit program: starting it is the test.
# Started by bash's exec, not by timeout's, which on "Exec format error" hands the file to
# /bin/sh instead and reports a syntax error.
if ! out="$(timeout 20 bash -c 'exec "$0" --version' "$loader" 2>&1)"; then
  if grep -qi "exec format error" <<<"$out"; then
    cannot "this kernel runs no 32-bit programs (starting the wine32 loader: Exec format error)"
  fi
  cannot "the wine32 loader does not start: $(head -n 1 <<<"$out")"
fi

if [ -n "${1:-}" ]; then
  # wineboot fills syswow64 by running 32-bit programs; an empty one means they did not run.
  syswow64="$1/drive_c/windows/syswow64"
  if [ ! -f "$syswow64/rundll32.exe" ] || [ ! -f "$syswow64/kernel32.dll" ]; then
    cannot "the Wine prefix has no 32-bit system (drive_c/windows/syswow64 is empty:" \
           "it was made without a working wine32)"
  fi
fi
echo "wine32 runs here"
