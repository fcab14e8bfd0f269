#!/usr/bin/env bash
# Compares downloaded packages with a rebuild of the same commit and images:
#
#   scripts/compare-release.sh RELEASE_DIR REBUILT_DIR
#
# Every package must be the same bytes. A Windows zip whose programs carry the release's
# Authenticode signatures (which a rebuild without the key cannot have) passes when everything
# else in it is the same and its programs are the same without their signatures: the release's
# signatures are stripped, and the rebuilt programs get a throwaway signature that is stripped
# again, so that both sides end with the same PE checksum and padding.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
[ $# -eq 2 ] || { sed -n '4p' "$0" | sed 's/^# //' >&2; exit 2; }
release="$(cd "$1" && pwd)"
rebuilt="$(cd "$2" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The programs without their signatures: the release's stripped, the rebuild's signed with a
# throwaway key and stripped, in the zip's other bytes unchanged.
throwaway_key() {
  openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=compare-release" \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
}
strip_signature() {
  osslsigncode remove-signature -in "$1" -out "$1.stripped" >/dev/null && mv "$1.stripped" "$1"
}
sign_throwaway() {
  osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -h sha256 -time 0 \
    -in "$1" -out "$1.signed" >/dev/null && mv "$1.signed" "$1"
}

# ZIP_NAME: the same zip but for the programs' signatures?
same_but_signatures() {
  local name="$1" side exe
  for side in release rebuilt; do
    mkdir -p "$work/$side"
    unzip -q "$([ $side = release ] && echo "$release" || echo "$rebuilt")/$name" -d "$work/$side"
  done
  [ -f "$work/key.pem" ] || throwaway_key
  while IFS= read -r -d '' exe; do
    # An unsigned program has no excuse to differ.
    osslsigncode extract-signature -in "$exe" -out "$work/signature" >/dev/null 2>&1 || return 1
    rm -f "$work/signature"
    strip_signature "$exe"
  done < <(find "$work/release" -name '*.exe' -print0)
  while IFS= read -r -d '' exe; do
    sign_throwaway "$exe" && strip_signature "$exe"
  done < <(find "$work/rebuilt" -name '*.exe' -print0)
  diff -r "$work/release" "$work/rebuilt" >/dev/null
}

# SHA256SUMS.asc is a signature, not a package: a rebuild has none.
report="$(/usr/bin/python3 "$root/scripts/compare_packages.py" "$release" "$rebuilt" |
          grep -v '^DIFFERS: SHA256SUMS\.asc:' || true)"
echo "$report"
grep -q '^DIFFERS:' <<<"$report" || { echo "identical: every package is the same bytes"; exit 0; }
# Only the Windows zip and the list of sums may differ, and the zip only by its signatures.
others="$(grep '^DIFFERS:' <<<"$report" | grep -v -e '^DIFFERS: SHA256SUMS:' -e '-win32\.zip:' || true)"
zips="$(grep -o '^DIFFERS: [^:]*-win32\.zip' <<<"$report" | sed 's/^DIFFERS: //' || true)"
if [ -z "$others" ] && [ -n "$zips" ]; then
  for zip in $zips; do
    same_but_signatures "$zip" || { echo "DIFFERENT: $zip differs beyond its signatures"; exit 1; }
    echo "same but for the Authenticode signatures: $zip"
  done
  echo "identical but for the Windows programs' signatures"
  exit 0
fi
echo "DIFFERENT"
exit 1
