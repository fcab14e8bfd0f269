#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test. From a fresh clone on
# Debian 12:
#   scripts/test-all.sh [--sanitize]
# Every stage runs, whatever became of the ones before it (a later stage may then fail for
# want of an earlier one's build, and says so). The run ends with a table of the stages: their
# passed, failed and skipped counts and why each skipped test was skipped; the exit status is
# non-zero when any stage failed. --sanitize adds the core's tests built with the sanitizers
# (scripts/test-sanitize.sh), as CI runs them.
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=no
case "${1:-}" in
  --sanitize) sanitize=yes ;;
  "") ;;
  *) sed -n '2,9p' "$0" >&2; exit 2 ;;
esac

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
jobs=$(nproc)
# Each stage's output and CTest report, read by scripts/test-summary.py at the end.
results="$PWD/build/test-results"

stage_deps() {
  scripts/install-deps.sh
}

stage_linux() {
  echo "== Linux build and tests"
  # Installed under /usr, as the package installs it.
  cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMO_WERROR=$werror \
        -DLUMO_BUILD_BENCH=ON -DCMAKE_INSTALL_PREFIX=/usr
  cmake --build build/linux -j "$jobs"
  ctest --test-dir build/linux --output-on-failure -j "$jobs" --timeout 300 \
        --output-junit "$results/linux.xml"
  # The sizes of the fault matrix and of the random schedules.
  grep -h "^fault matrix:\|^random schedules:" build/linux/Testing/Temporary/LastTest.log || true
}

stage_fuzz() {
  echo "== Fuzz targets, 30 s each"
  scripts/fuzz.sh 30
}

# --- Windows: mingw-w64 cross builds; the x86_64 tests run under wine64 -------------------
stage_win32() {
  echo "== Windows i686 build (the shipped Lumo_Tool.exe) and its resources"
  # First, so that the end-to-end tests below run it under wine32 as well. Its tests are built
  # too, so that they compile cleanly for 32 bits, though only the end-to-end tests below run
  # its program (and only where 32-bit programs run: scripts/check-wine32.sh).
  cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
        -DCMAKE_BUILD_TYPE=Release -DLUMO_WERROR=$werror -DLUMO_BUILD_TESTS=ON
  cmake --build build/win32 -j "$jobs"
  /usr/bin/python3 scripts/check-win32-resources.py build/win32/app/win32/Lumo_Tool.exe
}

stage_win64() {
  echo "== Windows x86_64 build and tests (under wine64)"
  # Not local: the trap below reads it when the stage's subshell exits.
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
  ctest --test-dir build/win64 --output-on-failure -j "$jobs" --timeout 300 \
        --output-junit "$results/win64.xml"
}
# --- end Windows ---

stage_packages() {
  echo "== Packages: the .deb and the zip from the builds above, checked and run"
  scripts/test-packages.sh
}

stage_web() {
  echo "== WebAssembly build: the core's tests under Node, the page in headless Chromium"
  cmake -S . -B build/web -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/emscripten.cmake \
        -DCMAKE_BUILD_TYPE=Release -DLUMO_WERROR=$werror \
        "-DLUMO_EMULATOR=$PWD/build/linux/emulator/orvel-emulator"
  cmake --build build/web -j "$jobs"
  ctest --test-dir build/web --output-on-failure -j "$jobs" --timeout 300 \
        --output-junit "$results/web.xml"
}

stage_sanitize() {
  echo "== The core's tests with AddressSanitizer and UndefinedBehaviorSanitizer"
  scripts/test-sanitize.sh --junit "$results/sanitize.xml"
}

# Runs stage_NAME in a subshell that stops at its first failing command, keeps its output for
# the table and records its exit status; the caller goes on to the next stage either way.
run_stage() {
  local name="$1" status
  set +e
  (
    set -euo pipefail
    "stage_$name"
  ) 2>&1 | tee "$results/$name.log"
  status=${PIPESTATUS[0]}
  set -e
  [ "$status" -eq 0 ] || echo "== stage $name FAILED (exit status $status); going on"
  echo "$name $status" >>"$results/stages"
}

rm -rf "$results"
mkdir -p "$results"
stages=(deps linux fuzz win32 win64 packages web)
[ "$sanitize" = yes ] && stages+=(sanitize)
for stage in "${stages[@]}"; do
  run_stage "$stage"
done
/usr/bin/python3 scripts/test-summary.py "$results"
