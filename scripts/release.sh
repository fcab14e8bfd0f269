#!/usr/bin/env bash
# Builds the packages a user installs, with the firmware images in a folder of your own:
#
#   scripts/release.sh --firmware DIR [--out DIR] [--build-dir DIR] [--check] [SIGNING]
#   scripts/release.sh --stand-in [--out DIR] [--build-dir DIR] [SIGNING]
#
#   SIGNING: [--gpg-key KEYID] [--authenticode FILE.pfx [--authenticode-password-file FILE]
#            [--timestamp-url URL]]
#
# DIR holds variant.bin (product 0x7B16) and primary.bin (product 0xC3D1). Writes to --out
# (build/packages by default) the Linux package lumo-tool_<version>_amd64.deb, the Windows
# package lumo-tool-<version>-win32.zip, the page lumo-tool-<version>-web.zip and SHA256SUMS;
# <version> is the one in VERSION. It refuses, before building anything, a folder that holds
# the repository's stand-in images, misses an image, or holds one that is empty or longer than
# the update protocol can address, and a signing key or certificate it cannot use.
# --stand-in builds test packages from the repository's stand-ins instead, with "-stand-in" in
# their file names. --check checks the images (and the signing keys) and stops there.
#
# The same commit and images give the same bytes wherever and whenever they are built: the
# time is the last commit's (SOURCE_DATE_EPOCH), and no path of the build goes into a package.
# The builds go to --build-dir/linux, /win32 and /web (build/release by default); folders that
# hold a build already are reused as they are configured, with the images and install prefix
# of the release (only new folders are sure to give the release's bytes).
#
# --gpg-key KEYID writes SHA256SUMS.asc, an armored detached signature of SHA256SUMS.
# --authenticode FILE.pfx signs both .exe files (SHA-256) before they are zipped; the pfx's
# password comes from --authenticode-password-file FILE or from the environment variable
# LUMO_AUTHENTICODE_PASSWORD, never from the command line. --timestamp-url URL has a time-stamp
# authority (RFC 3161) countersign them.
set -euo pipefail
caller="$PWD"
cd "$(dirname "$0")/.."
root="$PWD"

usage() {
  sed -n '4,8p' "$0" | sed 's/^# \{0,1\}//'
}
refuse() {
  echo "release.sh: refused: $*" >&2
  exit 1
}
# A path given on the command line, as the caller meant it.
from_caller() {
  case "$1" in
    /*) echo "$1" ;;
    *) echo "$caller/$1" ;;
  esac
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
gpg_key=""
pfx=""
password_file=""
timestamp_url=""
while [ $# -gt 0 ]; do
  case "$1" in
    --firmware | --out | --build-dir | --gpg-key | --authenticode | --authenticode-password-file | \
      --timestamp-url)
      [ $# -ge 2 ] && [ -n "$2" ] || bad_usage "$1 needs a value"
      case "$1" in
        --firmware) firmware="$(from_caller "$2")" ;;
        --out) out="$(from_caller "$2")" ;;
        --build-dir) build="$(from_caller "$2")" ;;
        --gpg-key) gpg_key="$2" ;;
        --authenticode) pfx="$(from_caller "$2")" ;;
        --authenticode-password-file) password_file="$(from_caller "$2")" ;;
        --timestamp-url) timestamp_url="$2" ;;
      esac
      shift 2 ;;
    --stand-in) stand_in=yes; shift ;;
    --check) check_only=yes; shift ;;
    -h | --help) usage; exit 0 ;;
    *) bad_usage "unknown argument: $1" ;;
  esac
done
if [ -z "$pfx" ] && { [ -n "$password_file" ] || [ -n "$timestamp_url" ]; }; then
  bad_usage "--authenticode-password-file and --timestamp-url go with --authenticode"
fi

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
check_images() {
  local max_bytes=$((65536 * 56)) stand_ins=() image file size digest
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
}

# A private folder for the password and the signing steps' scratch files.
secrets="$(mktemp -d)"
trap 'rm -rf "$secrets"' EXIT

# The key must be there and able to sign now, without a question (gpg --batch).
check_gpg_key() {
  gpg --batch --list-secret-keys -- "$gpg_key" >/dev/null 2>&1 ||
    refuse "no secret GnuPG key $gpg_key in the keyring (gpg --list-secret-keys)"
  printf 'release.sh trial\n' >"$secrets/trial"
  gpg --batch --yes --local-user "$gpg_key" --detach-sign --output "$secrets/trial.sig" \
      "$secrets/trial" >/dev/null 2>&1 ||
    refuse "GnuPG key $gpg_key cannot sign without a question (protected by a passphrase the agent does not hold, or expired)"
}

# The pfx must open with its password and hold a private key and a certificate in force.
check_authenticode() {
  [ -f "$pfx" ] || refuse "Authenticode certificate $pfx is missing"
  [ -r "$pfx" ] && openssl asn1parse -inform DER -in "$pfx" >/dev/null 2>&1 ||
    refuse "cannot read the Authenticode certificate $pfx: not a readable PKCS#12 (.pfx) file"
  if [ -n "$password_file" ]; then
    [ -f "$password_file" ] && [ -r "$password_file" ] ||
      refuse "cannot read the password file $password_file"
    cp "$password_file" "$secrets/password"
  elif [ -n "${LUMO_AUTHENTICODE_PASSWORD+set}" ]; then
    printf '%s' "$LUMO_AUTHENTICODE_PASSWORD" >"$secrets/password"  # a builtin: not in ps
  else
    refuse "no password for $pfx: give --authenticode-password-file FILE or set LUMO_AUTHENTICODE_PASSWORD"
  fi
  local pass="file:$secrets/password"
  openssl pkcs12 -in "$pfx" -passin "$pass" -noout 2>/dev/null ||
    refuse "wrong password for $pfx (or a damaged file)"
  openssl pkcs12 -in "$pfx" -passin "$pass" -nocerts -nodes 2>/dev/null |
    grep -q "PRIVATE KEY" || refuse "$pfx holds no private key"
  openssl pkcs12 -in "$pfx" -passin "$pass" -nokeys -clcerts 2>/dev/null >"$secrets/cert.pem"
  openssl x509 -in "$secrets/cert.pem" -noout 2>/dev/null || refuse "$pfx holds no certificate"
  openssl x509 -in "$secrets/cert.pem" -noout -checkend 0 >/dev/null ||
    refuse "the certificate in $pfx has expired"
}

check_images
[ -z "$gpg_key" ] || check_gpg_key
[ -z "$pfx" ] || check_authenticode
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
win_name="lumo-tool${suffix}-${version}-win32"
web_name="lumo-tool${suffix}-${version}-web"

# Every time in the packages is the last commit's: the compilers, Qt's rcc, CPack and the zips
# read it from here.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH="$(git -C "$root" log -1 --format=%ct 2>/dev/null)" ||
    refuse "not a git checkout: set SOURCE_DATE_EPOCH to the time of the sources"
fi
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C.UTF-8
# The files' modes in the packages must not depend on the user's umask (CPack takes some from it).
umask 022

# Configures BUILD_DIR for the release; a new folder gets a release build that builds only
# what a package holds (cpack builds nothing more).
configure() {
  local dir="$1"
  shift
  local fresh=()
  [ -f "$dir/CMakeCache.txt" ] ||
    fresh=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON "$@")
  cmake -S "$root" -B "$dir" "${fresh[@]}" -DLUMO_FIRMWARE_DIR="$firmware" >/dev/null
}
build_programs() {
  cmake --build "$1" -j "$jobs" --target "${@:2}"
}

sign_exe() {
  local exe="$1" extra=()
  [ -z "$timestamp_url" ] || extra=(-ts "$timestamp_url")
  # The signing time is the sources' time, so that a signed build is reproducible too.
  osslsigncode sign -pkcs12 "$pfx" -readpass "$secrets/password" -h sha256 \
    -time "$SOURCE_DATE_EPOCH" "${extra[@]}" -in "$exe" -out "$secrets/signed.exe" >/dev/null
  cp "$secrets/signed.exe" "$exe"  # into the file: it keeps its mode
  rm "$secrets/signed.exe"
}

# Zips FOLDER into ZIP reproducibly: the folder's name is the zip's top folder.
zip_folder() {
  /usr/bin/python3 "$root/scripts/reproducible_zip.py" "$1" "$2"
}

linux_package() {
  echo "== Linux package"
  configure "$build/linux" -DLUMO_BUILD_TESTS=OFF
  cmake -S "$root" -B "$build/linux" -DCMAKE_INSTALL_PREFIX=/usr \
        -DLUMO_UDEV_RULES_DIR=/usr/lib/udev/rules.d >/dev/null
  build_programs "$build/linux" Lumo_Tool lumo_flash
  (cd "$build/linux" && cpack -G DEB -D CPACK_DEBIAN_FILE_NAME="$deb" >/dev/null)
  cp "$build/linux/$deb" "$out/"
}

windows_package() {
  echo "== Windows package"
  configure "$build/win32" -DLUMO_BUILD_TESTS=OFF -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake"
  build_programs "$build/win32" Lumo_Tool lumo_flash
  local stage="$build/win32/release-stage"
  rm -rf "$stage"
  cmake --install "$build/win32" --prefix "$stage/$win_name" --strip >/dev/null
  if [ -n "$pfx" ]; then
    sign_exe "$stage/$win_name/Lumo_Tool.exe"
    sign_exe "$stage/$win_name/lumo-flash.exe"
  fi
  /usr/bin/python3 scripts/check-win32-resources.py "$stage/$win_name/Lumo_Tool.exe"
  zip_folder "$stage/$win_name" "$out/$win_name.zip"
}

# The page's static files in site/, beside a README and a sample configuration for its host.
# The folder may become the test command's own build of the page later: its tests stay on.
web_package() {
  echo "== Web package"
  configure "$build/web" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/emscripten.cmake"
  build_programs "$build/web" lumo_tool_web
  local stage="$build/web/release-stage"
  rm -rf "$stage"
  mkdir -p "$stage/$web_name"
  cp -r "$build/web/site" "$stage/$web_name/site"
  chmod -R u=rwX,go=rX "$stage/$web_name"  # files to serve, none to run (emcc marks .wasm +x)
  cp packaging/web/README.txt packaging/web/nginx-lumo-tool.conf "$stage/$web_name/"
  zip_folder "$stage/$web_name" "$out/$web_name.zip"
}

mkdir -p "$out"
rm -f "$out/$deb" "$out/$win_name.zip" "$out/$web_name.zip" "$out/SHA256SUMS" "$out/SHA256SUMS.asc"
linux_package
windows_package
web_package
(cd "$out" && sha256sum "$deb" "$win_name.zip" "$web_name.zip" >SHA256SUMS)
if [ -n "$gpg_key" ]; then
  gpg --batch --yes --local-user "$gpg_key" --armor --detach-sign --output "$out/SHA256SUMS.asc" \
      "$out/SHA256SUMS"
fi
echo "== Packages in $out"
(cd "$out" && cat SHA256SUMS)
