#!/usr/bin/env bash
# The checks CI runs beyond the README's test command: the whole native suite built with clang
# under the address and undefined-behaviour sanitizers, and bounded fuzzer runs.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== Sanitizer suite (clang, address + undefined)"
cmake --preset sanitizers >/dev/null
cmake --build --preset sanitizers -j "$(nproc)"
ctest --preset sanitizers -j "$(nproc)"

echo "== Fuzzers"
scripts/fuzz.sh "${QORV_FUZZ_SECONDS:-60}"
