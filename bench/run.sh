#!/usr/bin/env bash
# Benchmarks: the channel figures, then whole runs of the tool against the simulator (unpaced,
# paced at 115200 8N2, silent device), natively and, where present, QorvWriter.exe under wine.
# Prints a markdown table at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-20}

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j "$(nproc)" --target QorvWriter pelorix-sim channel_bench measure >/dev/null
bin=build-bench

echo "== Channel and protocol"
"$bin/bench/channel_bench"

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    [ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Starts a simulator with the given options and leaves its pty path in $port. (Not run in a
# command substitution: the simulator must stay a child of this shell, to be stopped at exit.)
start_sim() {
    local out="$work/sim${#pids[@]}.out"
    "$bin/sim/pelorix-sim" "$@" >"$out" 2>/dev/null &
    pids+=($!)
    for _ in $(seq 100); do [ -s "$out" ] && break; sleep 0.05; done
    port=$(head -n 1 "$out")
}

median_ms() {  # hyperfine JSON -> median in ms
    grep -o '"median": [0-9.e+-]*' "$1" | head -n 1 | awk '{printf "%.2f", $2 * 1000}'
}

rows=()
echo
echo "== Whole runs (hyperfine, $runs runs each)"
start_sim
unpaced=$port
hyperfine -N --warmup 3 --runs "$runs" --export-json "$work/unpaced.json" \
    "$bin/QorvWriter examples/sample.qorv $unpaced"
rows+=("| successful run, unpaced (native) | $(median_ms "$work/unpaced.json") ms | under 10 ms |")

start_sim --baud 115200
paced=$port
hyperfine -N --warmup 2 --runs "$runs" --export-json "$work/paced.json" \
    "$bin/QorvWriter examples/sample.qorv $paced"
paced_ms=$(median_ms "$work/paced.json")
# 1298 bytes cross the line in a successful sequence; 11 bits a byte at 8N2.
wire_ms=$(awk 'BEGIN { printf "%.1f", 1298 * 11 / 115200 * 1000 }')
ratio=$(awk -v p="$paced_ms" -v w="$wire_ms" 'BEGIN { printf "%.3f", p / w }')
rows+=("| successful run, paced 115200 8N2 (native) | $paced_ms ms = $ratio x wire time ($wire_ms ms) | within 5% |")

start_sim --silent
silent=$port
silent_line=$("$bin/bench/measure" 5 "$bin/QorvWriter" examples/sample.qorv "$silent")
echo "silent device: $silent_line"
rows+=("| silent device run (native): wall, CPU | $(echo "$silent_line" | sed -E 's/.*wall_ms=([0-9.]+) cpu_ms=([0-9.]+) cpu_share=([0-9.]+%).*/\1 ms, CPU \2 ms (\3 of wall)/') | CPU under 2% |")

success_line=$("$bin/bench/measure" "$runs" "$bin/QorvWriter" examples/sample.qorv "$unpaced")
rows+=("| peak resident memory of a run (native) | $(echo "$success_line" | sed -E 's/.*peak_rss_kb=([0-9]+).*/\1/') KiB | |")

if command -v wine >/dev/null && command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
    scripts/build-windows.sh >/dev/null
    export WINEPREFIX="$work/wine" WINEDEBUG=-all
    wineboot -i >/dev/null 2>&1
    ln -sf "$unpaced" "$WINEPREFIX/dosdevices/com5"
    ln -sf "$silent" "$WINEPREFIX/dosdevices/com6"
    wine_ok=$("$bin/bench/measure" "$runs" wine build-win/QorvWriter.exe examples/sample.qorv 5)
    wine_silent=$("$bin/bench/measure" 5 wine build-win/QorvWriter.exe examples/sample.qorv 6)
    echo "wine successful run: $wine_ok"
    echo "wine silent device:  $wine_silent"
    rows+=("| successful run under wine (incl. wine start) | $(echo "$wine_ok" | sed -E 's/.*wall_ms=([0-9.]+).*/\1/') ms | |")
    rows+=("| silent device run under wine | $(echo "$wine_silent" | sed -E 's/.*wall_ms=([0-9.]+).*/\1/') ms | |")
fi

echo
echo "| Measure | Result | Goal |"
echo "|---|---|---|"
printf '%s\n' "${rows[@]}"
