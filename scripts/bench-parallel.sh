#!/usr/bin/env bash
# Stores eight simulated devices at once, as a bench with eight adapters would: one simulator per
# device, the eight runs started together with xargs -P, every line a run prints prefixed by its
# port, and the run record collecting one line per device.
#   scripts/bench-parallel.sh [RECORD_FILE]     (default: a temporary file, shown at the end)
# QORVWRITER and PELORIX_SIM name the binaries to use (default: those of build/, built if
# missing).
set -euo pipefail
cd "$(dirname "$0")/.."
tool=${QORVWRITER:-$PWD/build/QorvWriter}
sim=${PELORIX_SIM:-$PWD/build/sim/pelorix-sim}
[ -x "$tool" ] && [ -x "$sim" ] || scripts/build.sh >/dev/null
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
record=${1:-$work/runs.jsonl}

for n in 1 2 3 4 5 6 7 8; do
    "$sim" --once --link "$work/device$n" >/dev/null &
done
for n in 1 2 3 4 5 6 7 8; do
    for _ in $(seq 100); do [ -e "$work/device$n" ] && break; sleep 0.05; done
done

status=0
printf '%s\n' "$work"/device{1..8} |
    QORV_REPORT=$record QORVWRITER=$tool xargs -P 8 -I{} bash -c \
        'set -o pipefail; "$QORVWRITER" examples/sample.qorv "$1" 2>&1 | sed "s|^|$1: |"' _ {} ||
    status=$?
echo "$(grep -c '"stored":true' "$record") of 8 devices stored; record: $(wc -l <"$record") lines"
[ -n "${1:-}" ] || cat "$record"
exit "$status"
