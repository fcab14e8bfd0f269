#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test. From a fresh clone on
# Debian 12:  scripts/test-all.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
jobs=$(nproc)

echo "== Linux build and tests"
# Installed under /usr, as the package installs it.
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMO_WERROR=$werror \
      -DLUMO_BUILD_BENCH=ON -DCMAKE_INSTALL_PREFIX=/usr
cmake --build build/linux -j "$jobs"
ctest --test-dir build/linux --output-on-failure -j "$jobs" --timeout 300
# The sizes of the fault matrix and of the random schedules.
grep -h "^fault matrix:\|^random schedules:" build/linux/Testing/Temporary/LastTest.log || true

echo "== Fuzz targets, 30 s each"
scripts/fuzz.sh 30

# --- Windows: mingw-w64 cross builds; the x86_64 tests run under wine64 -------------------
echo "== Windows i686 build (the shipped Lumo_Tool.exe) and its resources"
# First, so that the end-to-end tests below run it under wine32 as well.
# Its tests are built too, so that they compile cleanly for 32 bits, though only the end-to-end
# tests below run its program.
cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
      -DCMAKE_BUILD_TYPE=Release -DLUMO_WERROR=$werror -DLUMO_BUILD_TESTS=ON
cmake --build build/win32 -j "$jobs"
/usr/bin/python3 scripts/check-win32-resources.py build/win32/app/win32/Lumo_Tool.exe

echo "== Windows x86_64 build and tests (under wine64)"
winprefix="$PWD/build/win64/wineprefix"
scripts/wine-prefix.sh "$winprefix"
cmake -S . -B build/win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMO_WERROR=$werror \
      "-DCMAKE_CROSSCOMPILING_EMULATOR=$PWD/scripts/wine-run.sh;$winprefix" \
      "-DLUMO_E2E_TOOL_I686=$PWD/build/win32/app/win32/Lumo_Tool.exe"
cmake --build build/win64 -j "$jobs"
# One wineserver for the whole run: every test process starts quicker, and it is stopped
# whatever the outcome.
WINEPREFIX="$winprefix" /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1
trap 'WINEPREFIX="$winprefix" /usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
# The first program in a new prefix starts Wine's services, which live as long as the
# wineserver and keep the output they were given: start them here, on /dev/null, not under
# CTest (whose output pipe they would hold open, so that CTest never returns).
timeout 120 scripts/wine-run.sh "$winprefix" cmd /c exit >/dev/null 2>&1 || true
ctest --test-dir build/win64 --output-on-failure -j "$jobs" --timeout 300
WINEPREFIX="$winprefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
trap - EXIT

# --- end Windows ---

echo "== Packages: the .deb and the zip from the builds above, checked and run"
scripts/test-packages.sh

echo "== WebAssembly build: the core's tests under Node, the page in headless Chromium"
cmake -S . -B build/web -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/emscripten.cmake \
      -DCMAKE_BUILD_TYPE=Release -DLUMO_WERROR=$werror \
      "-DLUMO_EMULATOR=$PWD/build/linux/device/emulator/orvel-emulator"
cmake --build build/web -j "$jobs"
ctest --test-dir build/web --output-on-failure -j "$jobs" --timeout 300
