#!/usr/bin/env bash
# The release is reproducible: two clones of this commit at two different paths, built by
# release.sh with the stand-ins a minute or more apart (and with another umask and time zone),
# give byte-identical packages and SHA256SUMS. A difference names the package and its first
# differing member.
#   release_twice_test.sh WORK_DIR [--build-only]
# WORK_DIR keeps both clones, their builds and packages (WORK_DIR/first/packages,
# WORK_DIR/second/packages, and the second clone at WORK_DIR/second/place/lumo-tool) for the
# comparison (skipped with --build-only) and the tests of signing and of the page.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
work="$1"
compare="${2:-compare}"
commit="$(git -C "$root" rev-parse HEAD)"
rm -rf "$work"
mkdir -p "$work"

# CLONE_DIR OUT_DIR UMASK TZ: a clone of the commit, released into OUT_DIR; prints its time.
release_in_clone() {
  local clone="$1" out="$2" mask="$3" zone="$4" start
  git clone -q --no-checkout "$root" "$clone"
  git -C "$clone" checkout -q --detach "$commit"
  start=$(date +%s)
  (umask "$mask" && env -u SOURCE_DATE_EPOCH TZ="$zone" \
    "$clone/scripts/release.sh" --stand-in --out "$out") >"$out.log" 2>&1 ||
    { tail -30 "$out.log"; echo "FAIL: release.sh in $clone"; exit 1; }
  echo "release in $clone: $(($(date +%s) - start)) s"
}

echo "commit $commit"
first_start=$(date +%s)
release_in_clone "$work/first/lumo-tool" "$work/first/packages" 022 UTC
# A minute or more between the two starts: any time that leaks into a package shows.
wait_s=$((first_start + 61 - $(date +%s)))
[ "$wait_s" -le 0 ] || sleep "$wait_s"
release_in_clone "$work/second/place/lumo-tool" "$work/second/packages" 077 Asia/Shanghai
if [ "$compare" = --build-only ]; then
  echo "release built twice"
  exit 0
fi

/usr/bin/python3 "$root/scripts/compare_packages.py" \
  "$work/first/packages" "$work/second/packages" && echo "release reproducible: passed" ||
  { echo "release reproducible: FAILED"; exit 1; }
