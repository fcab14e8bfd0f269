#!/usr/bin/env bash
# The packages as a user gets them, from the builds the test command made (build/linux,
# build/win32): scripts/release.sh --stand-in makes them; the .deb passes lintian, holds what
# it must and depends on what it needs; unpacked, its Lumo_Tool updates the emulated device on
# a virtual display (and lumo-flash, when the build has it, refuses the stand-ins unless allowed,
# then updates the device); the zip holds the i686 Lumo_Tool.exe, whose resources pass the check, and
# its README; the page's zip holds its site, README and nginx sample; the three programs show
# the version of the packages' names; SHA256SUMS matches all three. The page is built in
# build/web (made there when the test command has not made it yet).
#   scripts/test-packages.sh        (after scripts/test-all.sh has built both)
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
out="$root/build/packages"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
ok() { echo "ok: $*"; }

rm -rf "$out"
scripts/release.sh --stand-in --build-dir "$root/build" --out "$out"
version="$(cat VERSION)"
deb="$out/lumo-tool-stand-in_${version}_amd64.deb"
zip="$out/lumo-tool-stand-in-${version}-win32.zip"
web="$out/lumo-tool-stand-in-${version}-web.zip"
[ -f "$deb" ] && [ -f "$zip" ] && [ -f "$web" ] || { fail "packages missing: $(ls "$out")"; exit 1; }

echo "== SHA256SUMS"
(cd "$out" && sha256sum -c SHA256SUMS) && ok "SHA256SUMS matches" || fail "SHA256SUMS"

echo "== .deb: lintian"
lintian_out="$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v 'running with root privileges' || true)"
echo "${lintian_out:-(nothing to say)}"
if grep -q '^E:' <<<"$lintian_out"; then fail "lintian reports errors"; else ok "lintian: no error"; fi

echo "== .deb: fields and contents"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = lumo-tool ] && [ "$(field Version)" = "$version" ] &&
  [ "$(field Architecture)" = amd64 ] && ok "lumo-tool $version amd64" || fail "name, version or architecture"
depends="$(field Depends)"
for lib in libc6 libqt6widgets6 libqt6gui6 libqt6core6 libudev1 libstdc++6; do
  grep -q "\b$lib\b" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
ok "Depends: $depends"
# The font must have the full-width colon and comma the window shows.
font="$(field Recommends)"
covering="$(fc-list ':charset=ff1a ff0c' file)"
has_glyphs=no
for f in $(dpkg -L "$font" 2>/dev/null | grep -E '\.(ttf|ttc|otf)$'); do
  grep -qF "$f" <<<"$covering" && has_glyphs=yes
done
[ "$has_glyphs" = yes ] && ok "Recommends: $font, which has U+FF1A and U+FF0C" ||
  fail "Recommends $font: no font of it has U+FF1A and U+FF0C"
contents="$(dpkg-deb -c "$deb" | awk '{print $6}')"
want=(./usr/bin/Lumo_Tool ./usr/lib/udev/rules.d/70-orvel-m8.rules
      ./usr/share/applications/lumo-tool.desktop ./usr/share/doc/lumo-tool/README
      ./usr/share/doc/lumo-tool/copyright ./usr/share/icons/hicolor/48x48/apps/lumo-tool.png
      ./usr/share/man/man1/Lumo_Tool.1.gz)
grep -qx lumo-flash build/linux/packaging/programs.txt &&
  want+=(./usr/bin/lumo-flash ./usr/share/man/man1/lumo-flash.1.gz)
for path in "${want[@]}"; do
  grep -qx -- "$path" <<<"$contents" || fail "the .deb lacks $path"
done
ok "contents: ${#want[@]} paths"
dpkg-deb -e "$deb" "$work/control"
grep -q 'udevadm control --reload-rules' "$work/control/postinst" &&
  grep -q 'udevadm trigger --subsystem-match=hidraw' "$work/control/postinst" &&
  ok "postinst reloads udev and re-triggers hidraw" || fail "postinst"

echo "== .deb: the unpacked Lumo_Tool against the emulated device"
dpkg-deb -x "$deb" "$work/root"
display=90
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
  display=$((display + 1))
done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
mkdir -p "$work/shots"
verdict="$(DISPLAY=":$display" LUMO_DEMO_OUT="$work/shots" \
  build/linux/emulator/orvel-emulator --product 7b16 --expect delivered \
    --scenario "plug in after 2500 ms" --timeout 120 --transcript "$work/transcript.txt" \
    -- scripts/demo-session.sh "$work/root/usr/bin/Lumo_Tool" 2>&1)" || fail "unpacked Lumo_Tool: $verdict"
kill "$xvfb_pid" 2>/dev/null || true
echo "$verdict" | tail -4
grep -q "delivered byte for byte" <<<"$verdict" && ok "unpacked Lumo_Tool delivered the image" ||
  fail "no delivery by the unpacked Lumo_Tool"

if grep -qx lumo-flash build/linux/packaging/programs.txt; then
  echo "== .deb: the unpacked lumo-flash"
  flash="$work/root/usr/bin/lumo-flash"
  said="$("$flash" --version | head -1)"
  [ "$said" = "lumo-flash $version" ] && ok "lumo-flash --version: $said" ||
    fail "lumo-flash --version says \"$said\", the package $version"
  # Stand-in images without --allow-stand-in: refused at once with the warning, exit 3.
  status=0
  refusal="$("$flash" 2>&1 >/dev/null)" || status=$?
  [ "$status" = 3 ] && grep -qF "This build carries stand-in images" <<<"$refusal" &&
    ok "lumo-flash refuses the stand-ins (exit 3)" || fail "lumo-flash refusal: exit $status: $refusal"
  verdict="$(build/linux/emulator/orvel-emulator --product 7b16 --expect delivered \
    --timeout 120 --transcript "$work/flash-transcript.txt" \
    -- "$flash" --allow-stand-in --wait 20 2>&1)" || fail "unpacked lumo-flash: $verdict"
  echo "$verdict" | tail -2
  grep -q "delivered byte for byte" <<<"$verdict" && ok "unpacked lumo-flash delivered the image" ||
    fail "no delivery by the unpacked lumo-flash"
fi

echo "== zip"
listing="$(unzip -Z1 "$zip")"
top="lumo-tool-stand-in-${version}-win32"
top_win="$top"
want=("$top/Lumo_Tool.exe" "$top/README.txt")
grep -qx lumo-flash build/win32/packaging/programs.txt && want+=("$top/lumo-flash.exe")
for path in "${want[@]}"; do
  grep -qx -- "$path" <<<"$listing" || fail "the zip lacks $path"
done
ok "zip: $(tr '\n' ' ' <<<"$listing")"
unzip -q "$zip" -d "$work/zip"
file "$work/zip/$top/Lumo_Tool.exe" | grep -q 'PE32 executable (GUI) Intel 80386' &&
  ok "Lumo_Tool.exe is the i686 GUI program" || fail "Lumo_Tool.exe: $(file -b "$work/zip/$top/Lumo_Tool.exe")"
/usr/bin/python3 scripts/check-win32-resources.py "$work/zip/$top/Lumo_Tool.exe" >/dev/null &&
  ok "Lumo_Tool.exe resources" || fail "Lumo_Tool.exe resources"
if [ -f "$work/zip/$top/lumo-flash.exe" ]; then
  file "$work/zip/$top/lumo-flash.exe" | grep -q 'PE32 executable (console) Intel 80386' &&
    ok "lumo-flash.exe is the i686 console program" ||
    fail "lumo-flash.exe: $(file -b "$work/zip/$top/lumo-flash.exe")"
fi

echo "== web zip"
listing="$(unzip -Z1 "$web")"
top="lumo-tool-stand-in-${version}-web"
for path in site/index.html site/style.css site/lumo_tool.js site/lumo_tool.wasm README.txt \
            nginx-lumo-tool.conf; do
  grep -qx -- "$top/$path" <<<"$listing" || fail "the web zip lacks $top/$path"
done
ok "web zip: $(tr '\n' ' ' <<<"$listing")"
unzip -q "$web" -d "$work/web"

# (The unpacked Lumo_Tool's window showed it: the demo session checks the title.)
echo "== One version: $version"
caption="Orvel-M8 Firmware Update V$version"
for program in "$work/zip/$top_win/Lumo_Tool.exe" "$work/web/$top/site/lumo_tool.wasm"; do
  grep -qaF "$caption" "$program" && ok "$(basename "$program") says \"$caption\"" ||
    fail "$(basename "$program") lacks the caption \"$caption\""
done

echo "packages: $([ "$failures" -eq 0 ] && echo passed || echo "$failures failed")"
[ "$failures" -eq 0 ]
