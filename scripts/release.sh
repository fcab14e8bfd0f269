#!/usr/bin/env bash
# Builds the packages a user installs, with the firmware images in a folder of your own:
#
#   scripts/release.sh --firmware DIR [--out DIR] [--build-dir DIR] [--check]
#   scripts/release.sh --stand-in [--out DIR] [--build-dir DIR]
#
# DIR holds variant.bin (product 0x7B16) and primary.bin (product 0xC3D1). Writes to --out
# (build/packages by default) the Linux package lumo-tool_<version>_amd64.deb, the Windows
# package lumo-tool-<version>-win32.zip and SHA256SUMS; <version> is the one in VERSION, the window's
# caption. It refuses, before building anything, a folder that holds the repository's stand-in
# images, misses an image, or holds one that is empty or longer than the update protocol can
# address. --stand-in builds test packages from the repository's stand-ins instead, with
# "-stand-in" in their file names. The builds go to --build-dir/linux and --build-dir/win32
# (build/release by default); folders that hold a build already are reused as they are
# configured, with the images and install prefix of the release. --check checks the images and
# stops there.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

usage() {
  sed -n '4,5p' "$0" | sed 's/^# \{0,1\}//'
}
refuse() {
  echo "release.sh: refused: $*" >&2
  exit 1
}
bad_usage() {
  echo "release.sh: $*" >&2
  usage >&2
  exit 2
}

firmware=""
out="$root/build/packages"
build="$root/build/release"
stand_in=no
check_only=no
while [ $# -gt 0 ]; do
  case "$1" in
    --firmware) [ $# -ge 2 ] || bad_usage "--firmware needs a folder"; firmware="$2"; shift 2 ;;
    --out) [ $# -ge 2 ] || bad_usage "--out needs a folder"; out="$2"; shift 2 ;;
    --build-dir) [ $# -ge 2 ] || bad_usage "--build-dir needs a folder"; build="$2"; shift 2 ;;
    --stand-in) stand_in=yes; shift ;;
    --check) check_only=yes; shift ;;
    -h | --help) usage; exit 0 ;;
    *) bad_usage "unknown argument: $1" ;;
  esac
done

if [ "$stand_in" = yes ]; then
  [ -z "$firmware" ] || bad_usage "--stand-in builds from the repository's images; give no --firmware"
  firmware="$root/firmware"
else
  [ -n "$firmware" ] || bad_usage "give --firmware DIR, the folder with the images to ship"
fi
[ -d "$firmware" ] || refuse "$firmware is not a folder"
firmware="$(cd "$firmware" && pwd)"

# The images, checked before anything is built. A data report carries a 16-bit block index
# and 56 image bytes: 65,536 blocks of 56 bytes is the most the protocol can address.
max_bytes=$((65536 * 56))
stand_ins=()
for image in variant.bin primary.bin; do
  file="$firmware/$image"
  [ -f "$file" ] || refuse "$file is missing: the folder must hold variant.bin (for product 0x7B16) and primary.bin (for product 0xC3D1)"
  size="$(stat -c %s "$file")"
  [ "$size" -gt 0 ] || refuse "$file is empty"
  [ "$size" -le "$max_bytes" ] ||
    refuse "$file has $size bytes, more than the update protocol can address (65,536 blocks of 56 bytes: $max_bytes bytes)"
  digest="$(sha256sum "$file" | cut -d' ' -f1)"
  if grep -q "^$digest " firmware/stand_ins.sha256; then stand_ins+=("$image"); fi
done
if [ "$stand_in" = no ] && [ ${#stand_ins[@]} -gt 0 ]; then
  refuse "${stand_ins[*]} in $firmware: the repository's stand-in images, not the Orvel-M8's firmware (a device that receives one is left without working firmware). Give the folder with the real images, or --stand-in for test packages."
fi
if [ "$check_only" = yes ]; then
  echo "release.sh: the images in $firmware can be released"
  exit 0
fi

scripts/install-deps.sh
jobs="$(nproc)"
version="$(cat VERSION)"
suffix=""
[ "$stand_in" = yes ] && suffix="-stand-in"
deb="lumo-tool${suffix}_${version}_amd64.deb"
zip_name="lumo-tool${suffix}-${version}-win32"

# Configures BUILD_DIR for the release; a new folder gets a release build without tests.
configure() {
  local dir="$1"
  shift
  local fresh=()
  [ -f "$dir/CMakeCache.txt" ] || fresh=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMO_BUILD_TESTS=OFF "$@")
  cmake -S "$root" -B "$dir" "${fresh[@]}" -DLUMO_FIRMWARE_DIR="$firmware" >/dev/null
}

echo "== Linux package"
configure "$build/linux"
cmake -S "$root" -B "$build/linux" -DCMAKE_INSTALL_PREFIX=/usr \
      -DLUMO_UDEV_RULES_DIR=/usr/lib/udev/rules.d >/dev/null
cmake --build "$build/linux" -j "$jobs"
(cd "$build/linux" && cpack -G DEB -D CPACK_DEBIAN_FILE_NAME="$deb" >/dev/null)

echo "== Windows package"
configure "$build/win32" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake"
cmake --build "$build/win32" -j "$jobs"
/usr/bin/python3 scripts/check-win32-resources.py "$build/win32/app/win32/Lumo_Tool.exe"
(cd "$build/win32" && cpack -G ZIP -D CPACK_PACKAGE_FILE_NAME="$zip_name" >/dev/null)

mkdir -p "$out"
cp "$build/linux/$deb" "$build/win32/$zip_name.zip" "$out/"
(cd "$out" && sha256sum "$deb" "$zip_name.zip" >SHA256SUMS)
echo "== Packages in $out"
(cd "$out" && cat SHA256SUMS)
