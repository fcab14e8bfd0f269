#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with Debian's clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for a bounded time, two at a time. Fails on any
# crash, leak, sanitizer report or broken property; the input that did it is left in
# build/fuzz/artifacts/TARGET/ and belongs in fuzz/regressions/TARGET/ once mended (the
# ordinary tests replay that folder).
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]      default 30 s, every target
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(hid_path discovery scenario bootloader_model image_file)

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
CXX=clang++-14 cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLUMO_FUZZ=ON -DLUMO_CORE_ONLY=ON -DLUMO_BUILD_TESTS=OFF -DLUMO_WERROR=$werror >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

run_one() {
  local t=$1 seconds=$2
  local corpus=build/fuzz/corpus/$t artifacts=build/fuzz/artifacts/$t log=build/fuzz/$t.log
  mkdir -p "$corpus" "$artifacts"
  # New inputs go to the build's corpus; the committed seeds and regressions are read only.
  if ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     "build/fuzz/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$artifacts/" \
       "$corpus" "fuzz/corpus/$t" "fuzz/regressions/$t" >"$log" 2>&1; then
    local execs rate
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "ok: fuzz $t: ${seconds} s, ${execs} runs, ${rate} runs/s, corpus $(ls "$corpus" | wc -l) inputs, no finding"
  else
    echo "FAIL: fuzz $t: FOUND A FAULT; input in $artifacts/, log in $log:"
    grep -E "ERROR|SUMMARY|property broken|Test unit written" "$log" | head -20
    return 1
  fi
}
export -f run_one

printf '%s\n' "${targets[@]}" | xargs -P 2 -I{} bash -c "run_one {} $seconds"
