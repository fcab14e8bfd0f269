#!/usr/bin/env bash
# The signed release, with a throwaway GnuPG key and a throwaway code-signing CA and
# certificate: SHA256SUMS.asc verifies, both .exe files in the zip verify against that CA with
# SHA-256 and fail once changed, the signed Lumo_Tool.exe passes the resource check, and the
# other two packages are those of the unsigned release; --timestamp-url reaches the time-stamp
# authority, whose failure stops the release; a rebuild without the keys compares equal but for
# the signatures (scripts/compare-release.sh). Keys that cannot sign (wrong password,
# missing key, a certificate that cannot be read, no password) are refused before any build.
#   release_signed_test.sh CLONE UNSIGNED_PACKAGES
# CLONE is a checkout whose release is built already (release_twice_test.sh leaves one), so
# that only the signing and the zips are done again.
set -euo pipefail
clone="$(cd "$1" && pwd)"
unsigned="$(cd "$2" && pwd)"
work="$(mktemp -d)"
export GNUPGHOME="$work/gnupg"
cleanup() {
  gpgconf --kill gpg-agent 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

echo "== Throwaway keys"
mkdir -m 700 "$GNUPGHOME"
gpg --batch --pinentry-mode loopback --passphrase '' --quick-gen-key \
    "Lumo release test <release-test@example.invalid>" rsa3072 sign 1d 2>/dev/null
key="$(gpg --batch --with-colons --list-secret-keys | awk -F: '/^fpr/ { print $10; exit }')"
cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
  -subj "/CN=Lumo release test CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr \
  -subj "/CN=Lumo release test signer" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >ext
openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
  -extfile ext -out signer.pem 2>/dev/null
printf 'correct horse\n' >password  # a line, as an editor writes it
printf 'wrong horse\n' >wrong-password
openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -out signer.pfx \
  -passout file:password
echo "not a certificate" >garbage.pfx
ok "GnuPG key $key, CA and signer.pfx"

echo "== Refused before building"
# name | environment | release.sh arguments | words of the refusal
cases=(
  "wrong password||--authenticode signer.pfx --authenticode-password-file wrong-password|wrong password"
  "wrong password from the environment|LUMO_AUTHENTICODE_PASSWORD=nope|--authenticode signer.pfx|wrong password"
  "no password||--authenticode signer.pfx|no password for"
  "certificate that cannot be read||--authenticode garbage.pfx --authenticode-password-file password|cannot read the Authenticode certificate"
  "certificate missing||--authenticode none.pfx --authenticode-password-file password|is missing"
  "GnuPG key missing||--gpg-key nobody@example.invalid|no secret GnuPG key"
)
for case in "${cases[@]}"; do
  IFS='|' read -r name environment arguments words <<<"$case"
  status=0
  # shellcheck disable=SC2086  # the arguments are words
  said="$(env -u LUMO_AUTHENTICODE_PASSWORD $environment "$clone/scripts/release.sh" --stand-in \
          --build-dir "$work/no-build" --out "$work/no-out" $arguments 2>&1)" || status=$?
  if [ "$status" = 1 ] && grep -qF "refused" <<<"$said" && grep -qF "$words" <<<"$said" &&
     [ ! -e "$work/no-build" ] && [ ! -e "$work/no-out" ]; then
    ok "$name: $said"
  else
    fail "$name: exit $status, said: $said"
  fi
done
status=0
said="$(LUMO_AUTHENTICODE_PASSWORD='correct horse' "$clone/scripts/release.sh" --stand-in --check \
        --authenticode signer.pfx --gpg-key "$key" 2>&1)" || status=$?
[ "$status" = 0 ] && ok "the password from the environment opens the pfx" ||
  fail "password from the environment: exit $status: $said"

echo "== Signed release"
start=$(date +%s)
"$clone/scripts/release.sh" --stand-in --gpg-key "$key" --authenticode signer.pfx \
  --authenticode-password-file password --out "$work/signed" >release.log 2>&1 ||
  { tail -20 release.log; fail "release.sh with signatures"; exit 1; }
echo "signed release (builds reused): $(($(date +%s) - start)) s"
cd "$work/signed"
gpg --batch --verify SHA256SUMS.asc SHA256SUMS 2>"$work/gpg.out" && ok "gpg --verify SHA256SUMS.asc SHA256SUMS" ||
  fail "gpg --verify: $(cat "$work/gpg.out")"
sha256sum --quiet -c SHA256SUMS && ok "sha256sum -c SHA256SUMS" || fail "sha256sum -c"
zip="$(ls ./*-win32.zip)"
for package in ./*.deb ./*-web.zip; do
  cmp -s "$package" "$unsigned/$package" && ok "$package is the unsigned release's" ||
    fail "$package differs from the unsigned release's"
done
unzip -q "$zip" -d "$work/unpacked"
cd "$work"
for exe in unpacked/*/Lumo_Tool.exe unpacked/*/lumo-flash.exe; do
  verdict="$(osslsigncode verify -CAfile "$work/ca.pem" -in "$exe" 2>&1)" || true
  if grep -q "Signature verification: ok" <<<"$verdict" &&
     grep -q "Message digest algorithm *: SHA256" <<<"$verdict"; then
    ok "$(basename "$exe"): SHA-256 Authenticode signature verifies against the test CA"
  else
    fail "$(basename "$exe"): $verdict"
  fi
  # One byte in the middle of the program inverted: the signature must no longer hold.
  cp "$exe" tampered.exe
  middle=$(($(stat -c %s tampered.exe) / 2))
  byte=$(od -An -tu1 -j "$middle" -N1 tampered.exe)
  printf "\\$(printf %03o $((255 - byte)))" | dd of=tampered.exe bs=1 seek="$middle" conv=notrunc status=none
  cmp -s "$exe" tampered.exe && fail "tampered.exe is unchanged"
  if osslsigncode verify -CAfile "$work/ca.pem" -in tampered.exe 2>&1 |
     grep -q "Signature verification: ok"; then
    fail "$(basename "$exe"): still verifies once changed"
  else
    ok "$(basename "$exe"): a changed byte breaks the signature"
  fi
done
/usr/bin/python3 "$clone/scripts/check-win32-resources.py" unpacked/*/Lumo_Tool.exe >/dev/null &&
  ok "the signed Lumo_Tool.exe passes the resource check" || fail "resource check of the signed Lumo_Tool.exe"

echo "== --timestamp-url is passed on"
# A time-stamp authority that takes the request and fails: osslsigncode must have asked it,
# and the release must stop rather than ship programs without the time stamp asked for.
/usr/bin/python3 - "$work/tsa.log" <<'TSA' &
import http.server, sys
log = open(sys.argv[1], "w", buffering=1)
class Failing(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", 0)))
        log.write("POST %s %s\n" % (self.path, self.headers.get("Content-Type")))
        self.send_response(500)
        self.end_headers()
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Failing)
log.write("port %d\n" % server.server_port)
server.timeout = 60
server.handle_request()
TSA
tsa_pid=$!
for _ in $(seq 50); do grep -q '^port' "$work/tsa.log" 2>/dev/null && break; sleep 0.1; done
port="$(awk '/^port/ { print $2 }' "$work/tsa.log")"
status=0
"$clone/scripts/release.sh" --stand-in --authenticode "$work/signer.pfx" \
  --authenticode-password-file "$work/password" --timestamp-url "http://127.0.0.1:$port/tsa" \
  --out "$work/stamped" >"$work/stamped.log" 2>&1 || status=$?
kill "$tsa_pid" 2>/dev/null || true
if [ "$status" != 0 ] && grep -q "POST /tsa application/timestamp-query" "$work/tsa.log" &&
   ! ls "$work/stamped/"*-win32.zip >/dev/null 2>&1; then
  ok "the time-stamp authority was asked, and its failure stopped the release (exit $status)"
else
  fail "--timestamp-url: exit $status, authority saw: $(cat "$work/tsa.log")"
fi

echo "== A rebuild without the keys, compared"
# The verdict, the last line; the whole report goes to the log.
compare() { { "$clone/scripts/compare-release.sh" "$@" 2>&1 || true; } | tee -a compare.log | tail -1; }
said="$(compare signed "$unsigned")"
[ "$said" = "identical but for the Windows programs' signatures" ] &&
  ok "signed release against the unsigned build: $said" ||
  fail "compare-release.sh: $(cat compare.log)"
# A rebuild whose lumo-flash.exe differs by one byte, zipped as release.sh zips.
mkdir -p changed/unpacked
cp "$unsigned"/* changed/
unzip -q "$unsigned/$(basename "$zip")" -d changed/unpacked
exe="$(ls changed/unpacked/*/lumo-flash.exe)"
printf 'X' | dd of="$exe" bs=1 seek=$(($(stat -c %s "$exe") / 2)) conv=notrunc status=none
SOURCE_DATE_EPOCH="$(git -C "$clone" log -1 --format=%ct)" /usr/bin/python3 \
  "$clone/scripts/reproducible_zip.py" "$(dirname "$exe")" "changed/$(basename "$zip")"
rm -r changed/unpacked
said="$(compare signed changed)"
[[ "$said" == DIFFERENT* ]] && ok "a changed program is found: $said" ||
  fail "compare-release.sh let a changed program pass: $said"

echo "release signed: $([ "$failures" = 0 ] && echo passed || echo "$failures FAILED")"
[ "$failures" = 0 ]
