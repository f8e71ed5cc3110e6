#!/usr/bin/env bash
# Builds the tool, starts the device simulator on a pseudo-terminal, stores
# examples/sample.qorv through it, and checks that the simulated device holds exactly the
# file's first 1056 settings bytes. Exits with the tool's status.
set -euo pipefail
cd "$(dirname "$0")/.."

command -v cmake >/dev/null && [ -e /usr/include/gtest/gtest.h ] &&
    [ -e /usr/include/nlohmann/json.hpp ] || scripts/install-deps.sh --base
if [ -x build/QorvWriter ] && [ -x build/sim/pelorix-sim ]; then
    echo "Bringing the build up to date..."
else
    echo "Building the tool and the device simulator (the first time takes a minute)..."
fi
scripts/build.sh >/dev/null

work=$(mktemp -d)
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

build/sim/pelorix-sim --once --store "$work/stored.bin" >"$work/sim.out" &
sim_pid=$!
for _ in $(seq 100); do
    [ -s "$work/sim.out" ] && break
    sleep 0.05
done
port=$(head -n 1 "$work/sim.out")
echo "Simulated device on $port"
echo "\$ build/QorvWriter examples/sample.qorv $port"
echo

status=0
build/QorvWriter examples/sample.qorv "$port" || status=$?
wait "$sim_pid" 2>/dev/null || true
sim_pid=""

if [ "$status" -eq 0 ]; then
    # The sample holds one settings frame in the extended form: 6 header bytes, then the data.
    if tail -c +7 examples/sample.qorv | head -c 1056 | cmp -s - "$work/stored.bin"; then
        echo "Check: the simulated device stored exactly the file's first 1056 settings bytes."
    else
        echo "Check FAILED: the simulated device does not hold the file's settings data."
        exit 1
    fi
fi
exit "$status"
