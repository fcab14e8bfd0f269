#!/usr/bin/env bash
# The core's tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLUMO_SANITIZE=ON \
      -DLUMO_WERROR=$werror -DLUMO_CORE_ONLY=ON
cmake --build build/sanitize -j "$(nproc)" --target lumo_core_tests
# The fault matrix takes every 7th block here (and the first, last and finish reports): the
# whole matrix is about 20 times slower under the sanitizers than in the test command.
LUMO_MATRIX_STRIDE=7 ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build/sanitize --output-on-failure -j "$(nproc)" \
  --timeout 300 -L core
grep -h "^fault matrix:\|^random schedules:" build/sanitize/Testing/Temporary/LastTest.log || true
