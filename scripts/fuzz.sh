#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address and undefined-behaviour sanitizers) and runs
# each for a bounded time over a copy of the committed corpus.
#   scripts/fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in reader_stream settings_file; do
    mkdir -p "$work/$target"
    cp fuzz/corpus/$target/* "$work/$target/"
    echo "Fuzzing $target for ${seconds}s"
    mkdir -p build-fuzz/artifacts
    if ! (cd "$work" && "$OLDPWD/build-fuzz/fuzz/${target}_fuzzer" -max_total_time="$seconds" \
            -max_len=8192 -print_final_stats=1 -artifact_prefix="$OLDPWD/build-fuzz/artifacts/" \
            "$target" >"$work/$target.log" 2>&1); then
        tail -n 40 "$work/$target.log"
        echo "The $target fuzzer found a failure; its input is kept in build-fuzz/artifacts/."
        exit 1
    fi
    grep -E "^stat::number_of_executed_units|^stat::average_exec_per_sec|Done [0-9]+ runs" \
        "$work/$target.log" || true
done
