#!/usr/bin/env bash
# Runs its arguments only where the shipped i686 Lumo_Tool.exe can run in the 64-bit PREFIX
# (wine32 installed, its loader starts on this kernel, the prefix holds the 32-bit system);
# otherwise says why in one line and exits 77, which CTest reports as a skipped test, never as
# a passed one:
#   need-wine32.sh PREFIX -- COMMAND...
# The first case to ask tries it (scripts/check-wine32.sh) and leaves the verdict in the
# prefix; the others read it, and a new prefix is tried again.
set -uo pipefail
prefix="$1"
shift
[ "${1:-}" = "--" ] && shift
verdict="$prefix/wine32-verdict"
if [ ! -f "$verdict" ]; then
  status=0
  reason="$("$(dirname "$0")/../../../scripts/check-wine32.sh" "$prefix")" || status=$?
  echo "$status $reason" >"$verdict"
fi
read -r status reason <"$verdict"
if [ "$status" != 0 ]; then
  echo "SKIPPED: the i686 Lumo_Tool.exe cannot run here: $reason"
  exit 77
fi
exec "$@"
