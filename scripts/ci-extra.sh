#!/usr/bin/env bash
# The checks CI runs beyond the README's test command: the whole native suite built with clang
# under the address and undefined-behaviour sanitizers, and bounded fuzzer runs.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== Sanitizer suite (clang, address + undefined)"
cmake -S . -B build-asan -DCMAKE_CXX_COMPILER=clang++ -DQORV_SANITIZE=address,undefined \
    -DQORV_WERROR=ON >/dev/null
cmake --build build-asan -j "$(nproc)"
(cd build-asan && ctest --output-on-failure -j "$(nproc)")

echo "== Fuzzers"
scripts/fuzz.sh "${QORV_FUZZ_SECONDS:-60}"
