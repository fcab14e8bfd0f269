#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing need. Safe to run again.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config python3
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libudev-dev umockdev libumockdev-dev
  # sd-bus for the logind inhibitor; a private bus and a mock logind for its tests.
  libsystemd-dev dbus-daemon python3-dbusmock
  qt6-base-dev qt6-base-dev-tools libgl-dev
  xvfb xauth x11-utils imagemagick fonts-dejavu-core
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64 mingw-w64-tools
  wine64 python3-pefile
  # The fuzz targets (scripts/fuzz.sh): libFuzzer and the sanitizers' run-time.
  clang-14 libclang-rt-14-dev
  # The Linux program: Arial-metric fonts for its labels; xdotool drives the demo's window.
  fonts-liberation xdotool
  # A font with the full-width colon and comma of the window's texts (U+FF1A, U+FF0C).
  fonts-wqy-microhei
  # The packages: dpkg-shlibdeps works out the .deb's dependencies; lintian, file and unzip
  # check them.
  dpkg-dev lintian file unzip
  # The browser page: the core in WebAssembly (emscripten runs on Node), its end-to-end
  # tests in headless Chromium driven over the DevTools protocol.
  emscripten nodejs chromium python3-websocket
  # lumo-flash: its command line (header-only, also for the mingw builds) and SHA-256 of image
  # files, natively and for mingw-w64.
  libcli11-dev libgcrypt20-dev libgcrypt-mingw-w64-dev
  # lumo-flash's live view read back from a real terminal (a tmux pane) in its tests.
  tmux
  # lumo-flash's records: SQLite and PostgreSQL's client library; the server (and psql) for
  # the tests' and the load script's throwaway clusters; runuser starts those as nobody.
  libsqlite3-dev libpq-dev postgresql-15 postgresql-client-15 util-linux
  # Releases: Authenticode signatures of the .exe files, the signature of SHA256SUMS, the
  # throwaway keys and CA of their tests, and nginx to serve the page's package in its test.
  osslsigncode gnupg openssl nginx
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
fi

# The shipped Lumo_Tool.exe is 32-bit: its end-to-end tests run under Debian's wine32, in the
# same 64-bit prefix. The i386 archive can lag behind amd64, and a kernel built without 32-bit
# support installs wine32 but cannot run it; either way the test command goes on and those
# tests report themselves as skipped.
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  { $sudo apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
      wine32:i386; } || true
fi
if ! reason="$("$(dirname "$0")/check-wine32.sh")"; then
  echo "WARNING: $reason: the end-to-end tests of the i686 Lumo_Tool.exe will be SKIPPED" >&2
fi
