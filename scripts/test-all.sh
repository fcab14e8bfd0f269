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
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMO_WERROR=$werror \
      -DLUMO_BUILD_BENCH=ON
cmake --build build/linux -j "$jobs"
ctest --test-dir build/linux --output-on-failure -j "$jobs" --timeout 300
