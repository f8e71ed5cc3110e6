#!/usr/bin/env bash
# Runs the end-to-end groups (the built command against the simulator) and the Windows suite
# (QorvWriter.exe under wine) N times in a row, 20 by default, and stops at the first failure:
# a test that passes only most of the time shows up here. Builds first.
#   scripts/stress.sh [N]
set -euo pipefail
cd "$(dirname "$0")/.."

rounds="${1:-20}"
scripts/build.sh >/dev/null
scripts/build-windows.sh >/dev/null
export QORV_WINDOWS_EXE="$PWD/build-win/QorvWriter.exe"
for round in $(seq 1 "$rounds"); do
    if ! build/tests/command_tests --gtest_filter='Store.*:CommandLine.*' >/tmp/stress-e2e.log 2>&1; then
        echo "round $round: end-to-end groups failed (log: /tmp/stress-e2e.log)"
        exit 1
    fi
    if ! build/tests/windows_tests >/tmp/stress-windows.log 2>&1; then
        echo "round $round: Windows suite failed (log: /tmp/stress-windows.log)"
        exit 1
    fi
    echo "round $round of $rounds: passed"
done
