#!/usr/bin/env bash
# release.sh checks the images before it builds anything: one case a line, each a folder made
# as its setup says, the exit status and the words the message must hold.
#   release_refusals_test.sh
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

limit=$((65536 * 56))
# A pair that is not the stand-ins: the stand-ins with one byte more each.
other() {
  for f in variant.bin primary.bin; do
    cp "$root/firmware/$f" "$1/$f"
    printf 'x' >>"$1/$f"
  done
}
stand_ins() { cp "$root/firmware/variant.bin" "$root/firmware/primary.bin" "$1/"; }

# name | setup (run in the folder) | exit status | message
cases=(
  "stand-ins copied elsewhere|stand_ins .|1|stand-in images, not the Orvel-M8's firmware"
  "one stand-in beside another image|other . && cp $root/firmware/primary.bin .|1|primary.bin in"
  "variant missing|other . && rm variant.bin|1|variant.bin is missing"
  "primary missing|other . && rm primary.bin|1|primary.bin is missing"
  "variant empty|other . && : >variant.bin|1|variant.bin is empty"
  "primary over the limit|other . && truncate -s $((limit + 1)) primary.bin|1|more than the update protocol can address"
  "primary at the limit|other . && truncate -s $limit primary.bin|0|can be released"
  "another pair|other .|0|can be released"
)
failures=0
for case in "${cases[@]}"; do
  IFS='|' read -r name setup want_status want_words <<<"$case"
  dir="$work/${name// /-}"
  mkdir -p "$dir"
  (cd "$dir" && eval "$setup")
  status=0
  output="$("$root/scripts/release.sh" --firmware "$dir" --check --out "$work/out" \
            --build-dir "$work/build" 2>&1)" || status=$?
  if [ "$status" = "$want_status" ] && grep -qF -- "$want_words" <<<"$output"; then
    echo "ok: $name: exit $status: $output"
  else
    echo "FAIL: $name: exit $status (want $want_status), said: $output (want: $want_words)"
    failures=$((failures + 1))
  fi
done
# Nothing was built or written for any of them.
if [ -e "$work/out" ] || [ -e "$work/build" ]; then
  echo "FAIL: something was built or written"
  failures=$((failures + 1))
fi
echo "${#cases[@]} cases, $failures failed"
[ "$failures" -eq 0 ]
