#!/usr/bin/env bash
# Runs an end-to-end test whose device is pulled out mid-update under Wine, up to ATTEMPTS
# times:   race.sh ATTEMPTS -- EMULATOR ARGS...
#
# The update survives an unplug only when the removal notice reaches the program before its
# next tick writes; under Wine the notice takes tens of milliseconds, while the emulated node
# fails writes at once, so the write often comes first and the update ends with
# "Error，Please try again!" as it must (tests/win32/e2e/unplug-race.sh says more). Only that
# outcome is tried again; when every attempt loses the race, exit 77 (CTest: skipped).
set -uo pipefail
attempts="$1"
shift
[ "${1:-}" = "--" ] && shift
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
for ((i = 1; i <= attempts; i++)); do
  echo "== attempt $i of $attempts"
  "$@" 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  [ "$status" -eq 0 ] && exit 0
  if grep -q 'stderr| Error，Please try again!' "$log" &&
     grep -q '^emulator verdict: interrupted after block' "$log"; then
    echo "== the write after the unplug came before the removal notice: trying again"
    continue
  fi
  exit "$status"
done
echo "== the removal notice came late in every attempt: the resume was not exercised (skipped)"
exit 77
