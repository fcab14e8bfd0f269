#!/usr/bin/env bash
# The core's tests built with AddressSanitizer and UndefinedBehaviorSanitizer, and lumo-flash's
# strands (their stack switches told to AddressSanitizer).
#   scripts/test-sanitize.sh [--junit FILE]     (FILE: CTest's JUnit report, for test-all.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

report=()
if [ "${1:-}" = "--junit" ]; then
  [ $# -ge 2 ] || { echo "usage: $0 [--junit FILE]" >&2; exit 2; }
  report=(--output-junit "$(realpath -m "$2")")
fi

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLUMO_SANITIZE=ON \
      -DLUMO_WERROR=$werror -DLUMO_CORE_ONLY=ON
cmake --build build/sanitize -j "$(nproc)" --target lumo_core_tests lumo_strand_tests
# The fault matrix and the random schedules run about 30 times slower here than in the test
# command: the matrix takes every 16th block (and the first, last and finish reports, every
# fault kind), the schedules the first 1000 seeds.
LUMO_MATRIX_STRIDE=16 LUMO_SCHEDULE_SEEDS=1:1000 ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build/sanitize --output-on-failure -j "$(nproc)" \
  --timeout 300 -L '^(core|strand)$' "${report[@]}"
grep -h "^fault matrix:\|^random schedules:" build/sanitize/Testing/Temporary/LastTest.log || true
