#!/usr/bin/env bash
# cmake --install puts the executables (Lumo_Tool and lumo-flash), the udev rule, the desktop entry and the icons in
# place, and the rule is one that udev applies before it hands out seat access.
#   install_test.sh BUILD_DIR
set -euo pipefail
build="$1"
dest="$(mktemp -d)"
trap 'rm -rf "$dest"' EXIT
DESTDIR="$dest" cmake --install "$build" --prefix /usr >/dev/null

fail() { echo "FAIL: $*" >&2; exit 1; }
[ -x "$dest/usr/bin/Lumo_Tool" ] || fail "no executable Lumo_Tool"
[ -x "$dest/usr/bin/lumo-flash" ] || fail "no executable lumo-flash beside Lumo_Tool"
# Where the build was configured to put it: /usr/lib/udev/rules.d or /etc/udev/rules.d.
rule="$(find "$dest" -path '*/udev/rules.d/*orvel*.rules' | head -1)"
[ -n "$rule" ] || fail "no udev rule installed"
number="$(basename "$rule" | cut -d- -f1)"
[ "$number" -lt 73 ] || fail "rule $rule sorts after 73-seat-late.rules"
for product in c3d1 7b16; do
  grep -E "^SUBSYSTEM==\"hidraw\".*ATTRS\{idVendor\}==\"5a7e\".*ATTRS\{idProduct\}==\"$product\".*TAG\+=\"uaccess\"" \
    "$rule" >/dev/null || fail "rule does not tag product $product with uaccess"
done
desktop="$dest/usr/share/applications/lumo-tool.desktop"
[ -f "$desktop" ] || fail "no desktop entry"
grep -qx 'Exec=Lumo_Tool' "$desktop" || fail "desktop entry does not start Lumo_Tool"
grep -qx 'Icon=lumo-tool' "$desktop" || fail "desktop entry names another icon"
for size in 32 48 256; do
  icon="$dest/usr/share/icons/hicolor/${size}x${size}/apps/lumo-tool.png"
  [ -f "$icon" ] || fail "no ${size}px icon"
done
echo "install layout ok"
