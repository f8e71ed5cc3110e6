#!/usr/bin/env bash
# Benchmarks: the channel figures, then whole runs of the tool against the simulator (unpaced,
# paced at 115200 8N2, silent device), natively and, where present, QorvWriter.exe under wine.
# Prints one markdown table, the shape of docs/benchmarks.md's, each goal marked met or MISSED.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-21}

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null 2>&1
cmake --build build-bench -j "$(nproc)" --target QorvWriter pelorix-sim channel_bench measure ideal_client \
    >/dev/null 2>&1
bin=build-bench

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

median_ms() {  # hyperfine JSON [, result index] -> median in ms
    grep -o '"median": [0-9.e+-]*' "$1" | sed -n "$((${2:-0} + 1))p" | awk '{printf "%.2f", $2 * 1000}'
}
# "met" when the awk condition holds for value v, "MISSED" otherwise.
goal() {
    awk -v v="$1" "BEGIN { print ($2) ? \"met\" : \"MISSED\" }"
}
field() {  # key=value line, key -> value
    echo "$1" | sed -E "s/.*$2=([0-9.]+).*/\1/"
}

rows=()
row() { rows+=("| $1 | $2 | $3 |"); }

"$bin/bench/channel_bench" >"$work/channel.txt"
idle=$(grep '^idle read wait' "$work/channel.txt")
idle_median=$(echo "$idle" | sed -E 's/.*median ([0-9.]+) ms.*/\1/')
idle_p99=$(echo "$idle" | sed -E 's/.*percentile ([0-9.]+) ms.*/\1/')
bare=$(grep '^bare 1 ms poll loop' "$work/channel.txt" | sed -E 's/.*takes ([0-9.]+) x.*/\1/')
row "CPU of an unanswered exchange against a bare 1 ms poll loop as long" "$bare x" \
    "within 1.25 x: $(goal "$bare" 'v <= 1.25')"
row "idle port read (nothing to read)" "median $idle_median ms, 99th percentile $idle_p99 ms" \
    "about 1 ms, sleeping: $(goal "$idle_median" 'v >= 0.9 && v < 1.5')"
trip=$(grep '^sendCommand round trip' "$work/channel.txt" | sed -E 's/.*median ([0-9.]+) ms.*/\1/')
row "\`sendCommand\` round trip against a pty peer" "median $trip ms" ""
alone=$(grep '^unanswered exchange' "$work/channel.txt")
alone_share=$(echo "$alone" | sed -E 's/.*\(([0-9.]+)% of wall\).*/\1/')
row "unanswered exchange alone (500 ms limit)" \
    "$(echo "$alone" | sed -E 's/.*wall ([0-9.]+ ms), CPU ([0-9.]+ ms).*/\1, \2 CPU/') ($alone_share%)" \
    "CPU under 2%: $(goal "$alone_share" 'v < 2')"
range() {  # lines of "NNN MB/s" -> "min to max MB/s"
    grep "$1" "$work/channel.txt" | sed -E 's/.*: +([0-9.]+) MB\/s.*/\1/' | sort -n |
        awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%s to %s MB/s", lo, hi }'
}
row "reader, file of 1056-byte frames (1 to 64 MB)" "$(range 'frames,')" ""
row "reader, file of noise without a preamble (1 to 64 MB)" "$(range 'noise,')" ""

start_sim
unpaced=$port
hyperfine -N --warmup 3 --runs "$runs" --style none --export-json "$work/unpaced.json" \
    "$bin/QorvWriter examples/sample.qorv $unpaced" >/dev/null 2>&1
unpaced_ms=$(median_ms "$work/unpaced.json")
row "successful run, unpaced, including process start" "$unpaced_ms ms" \
    "under 10 ms: $(goal "$unpaced_ms" 'v < 10')"

# Paced as a wire would (each answer written once the request's and its own time on the wire
# have passed), side by side with a client that has no overhead of its own.
start_sim --baud 115200
hyperfine -N --warmup 2 --runs "$runs" --style none --export-json "$work/paced.json" \
    "$bin/QorvWriter examples/sample.qorv $port" "$bin/bench/ideal_client $port" >/dev/null 2>&1
paced_ms=$(median_ms "$work/paced.json")
ideal_ms=$(median_ms "$work/paced.json" 1)
ideal_ratio=$(awk -v p="$paced_ms" -v i="$ideal_ms" 'BEGIN { printf "%.3f", p / i }')
row "successful run, paced at 115200 8N2, against a client with no overhead" \
    "$paced_ms ms = $ideal_ratio x the ideal client's ($ideal_ms ms)" \
    "within 3%: $(goal "$ideal_ratio" 'v <= 1.03')"
# 1298 bytes cross the line in a successful sequence; 11 bits a byte at 8N2.
wire_ms=$(awk 'BEGIN { printf "%.1f", 1298 * 11 / 115200 * 1000 }')
ratio=$(awk -v p="$paced_ms" -v w="$wire_ms" 'BEGIN { printf "%.3f", p / w }')
row "successful run, simulator paced at 115200 8N2" \
    "$paced_ms ms = $ratio x the wire time ($wire_ms ms)" "within 5%: $(goal "$ratio" 'v <= 1.05')"

# The same paced store through ser2net on loopback (RFC 2217, its character delay off), side by
# side with a local terminal's: back to back, as hyperfine runs them, and settled (100 ms between
# runs, not timed), for a store that comes right after another pays ser2net's closing and
# reopening of its port.
if command -v ser2net >/dev/null; then
    start_sim --baud 115200
    tcp=$((42000 + $$ % 20000))
    printf 'connection: &bench\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%s\n  enable: on\n  options:\n    chardelay: false\n  connector: serialdev,%s,115200n82,local\n' \
        "$tcp" "$port" >"$work/ser2net.yaml"
    ser2net -n -c "$work/ser2net.yaml" >/dev/null 2>&1 &
    pids+=($!)
    start_sim --baud 115200
    sleep 0.5
    for pace in back settled; do
        prepare=()
        [ "$pace" = back ] || prepare=(--prepare "sleep 0.1")
        hyperfine -N --warmup 2 --runs "$runs" --style none "${prepare[@]}" \
            --export-json "$work/$pace-local.json" "$bin/QorvWriter examples/sample.qorv $port" \
            >/dev/null 2>&1
        hyperfine -N --warmup 2 --runs "$runs" --style none "${prepare[@]}" \
            --export-json "$work/$pace-served.json" \
            "$bin/QorvWriter examples/sample.qorv rfc2217://127.0.0.1:$tcp" >/dev/null 2>&1
    done
    served=""
    for pace in settled back; do
        local_ms=$(median_ms "$work/$pace-local.json")
        served_ms=$(median_ms "$work/$pace-served.json")
        ratio=$(awk -v s="$served_ms" -v p="$local_ms" 'BEGIN { printf "%.3f", s / p }')
        [ -n "$served" ] || settled_ratio=$ratio
        label=$pace
        [ "$pace" = settled ] || label="back to back"
        served+="${served:+; }$label: $served_ms ms = $ratio x the local terminal's ($local_ms ms)"
    done
    row "successful run through ser2net (RFC 2217 on loopback), paced at 115200 8N2" \
        "$served" "within 5%, settled: $(goal "$settled_ratio" 'v <= 1.05')"
fi

start_sim --silent
silent=$("$bin/bench/measure" 5 "$bin/QorvWriter" examples/sample.qorv "$port" 2>/dev/null)
silent_share=$(field "$silent" cpu_share)
row "silent device run: wall, CPU of the whole process" \
    "$(field "$silent" wall_ms) ms, $(field "$silent" cpu_ms) ms CPU ($silent_share%)" \
    "CPU under 2%: $(goal "$silent_share" 'v < 2')"
success=$("$bin/bench/measure" "$runs" "$bin/QorvWriter" examples/sample.qorv "$unpaced" 2>/dev/null)
row "peak resident memory of a run" "$(awk -v k="$(field "$success" peak_rss_kb)" \
    'BEGIN { printf "%.1f MB", k / 1024 }')" ""
row "heap allocations in channel and protocol code" "none (checked by \`alloc_test\` and both fuzzers)" \
    "none: met"

if command -v wine >/dev/null && command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
    scripts/build-windows.sh >/dev/null 2>&1
    export WINEPREFIX="$work/wine" WINEDEBUG=-all
    wineboot -i >/dev/null 2>&1
    ln -sf "$unpaced" "$WINEPREFIX/dosdevices/com5"
    start_sim --silent
    ln -sf "$port" "$WINEPREFIX/dosdevices/com6"
    wine_ok=$("$bin/bench/measure" "$runs" wine build-win/QorvWriter.exe examples/sample.qorv 5 2>/dev/null)
    wine_silent=$("$bin/bench/measure" 5 wine build-win/QorvWriter.exe examples/sample.qorv 6 2>/dev/null)
    row "successful run under wine (process start included)" "$(field "$wine_ok" wall_ms) ms" ""
    row "silent device run under wine" "$(field "$wine_silent" wall_ms) ms" ""
    # CPU of ten unanswered probes against a bare ClearCommError and Sleep(1) loop as long, each
    # with what the wine server spends on it, less a run that only opens the port.
    server=$(pgrep -n wineserver)
    wine_cpu() {
        local before after
        before=$(awk '{print $1}' "/proc/$server/schedstat")
        local run
        run=$("$bin/bench/measure" 1 wine build-win/win32_wait_bench.exe COM6 "$@" 2>/dev/null)
        after=$(awk '{print $1}' "/proc/$server/schedstat")
        awk -v c="$(field "$run" cpu_ms)" -v s="$(( (after - before) / 1000 ))" \
            'BEGIN { printf "%.1f", c + s / 1000 }'
    }
    opened=$(wine_cpu open)
    waited=$(wine_cpu exchange 10)
    polled=$(wine_cpu bare 5000)
    wine_ratio=$(awk -v w="$waited" -v p="$polled" -v o="$opened" \
        'BEGIN { printf "%.2f", (w - o) / (p - o) }')
    row "CPU of 10 unanswered exchanges under wine (with the wine server) against a bare 1 ms poll loop as long" \
        "$wine_ratio x" "within 1.25 x: $(goal "$wine_ratio" 'v <= 1.25')"
fi

echo "| Measure | Result | Goal |"
echo "|---|---|---|"
printf '%s\n' "${rows[@]}"
