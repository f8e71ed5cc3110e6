#!/usr/bin/env bash
# The station's benchmarks against simulated devices paced at 115200 8N2: 8 and 32 stores at
# once against one store alone and against the floor of two cores (as many clients with no
# overhead of their own, started at once against the same devices); the station's own resident
# memory with 32 ports; on a fixture, the time from a device that starts answering to its store,
# and the CPU of a station that watches 8 ports. Prints one markdown table.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-11}

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null 2>&1
cmake --build build-bench -j "$(nproc)" --target QorvWriter qorv-station pelorix-sim \
    ideal_client >/dev/null 2>&1
bin=$PWD/build-bench
settings=$PWD/examples/sample.qorv

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# Simulators behind links $work/dev1 .. $work/devN.
devices() {
    local from=$1 to=$2
    shift 2
    for n in $(seq "$from" "$to"); do
        "$bin/sim/pelorix-sim" --link "$work/dev$n" "$@" >/dev/null 2>&1 &
        pids+=($!)
    done
    for n in $(seq "$from" "$to"); do
        for _ in $(seq 200); do [ -e "$work/dev$n" ] && break; sleep 0.02; done
    done
}
median_ms() {  # hyperfine JSON, result index -> median in ms
    grep -o '"median": [0-9.e+-]*' "$1" | sed -n "$(($2 + 1))p" | awk '{printf "%.1f", $2 * 1000}'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
goal() { awk -v v="$1" "BEGIN { print ($2) ? \"met\" : \"MISSED\" }"; }
rows=()
row() { rows+=("| $1 | $2 | $3 |"); }

devices 1 32 --baud 115200
ports() { for n in $(seq 1 "$1"); do printf '%s ' "$work/dev$n"; done; }
clients() { echo "for p in $(ports "$1"); do $bin/bench/ideal_client \$p & done; wait"; }
hyperfine -N --warmup 2 --runs "$runs" --style none --export-json "$work/at-once.json" \
    "$bin/QorvWriter $settings $work/dev1" \
    "$bin/qorv-station $settings $(ports 8)" "sh -c '$(clients 8)'" \
    "$bin/qorv-station $settings $(ports 32)" "sh -c '$(clients 32)'" >/dev/null 2>&1
one=$(median_ms "$work/at-once.json" 0)
for i in 8 32; do
    index=$([ "$i" = 8 ] && echo 1 || echo 3)
    station=$(median_ms "$work/at-once.json" "$index")
    floor=$(median_ms "$work/at-once.json" $((index + 1)))
    s=$(ratio "$station" "$one")
    f=$(ratio "$floor" "$one")
    bound=$([ "$i" = 8 ] && echo "1.15 0.10" || echo "1.5 0.25")
    read -r most margin <<<"$bound"
    row "$i paced stores at once by the station, against one store ($one ms) and the floor ($i clients with no overhead)" \
        "$station ms = $s x one store; floor $floor ms = $f x" \
        "at most $most x, or within $margin of the floor: $(goal "$s" "v <= $most || v <= $f + $margin")"
done

# The station's own peak resident memory with 32 ports (its stores are processes of their own).
"$bin/qorv-station" "$settings" $(ports 32) >/dev/null &
station=$!
peak=0
while kill -0 "$station" 2>/dev/null; do
    kb=$(sed -n 's/^VmHWM:\s*\([0-9]*\) kB/\1/p' "/proc/$station/status" 2>/dev/null || true)
    [ -z "$kb" ] || peak=$kb
    sleep 0.005
done
wait "$station" || true
mb=$(awk -v k="$peak" 'BEGIN { printf "%.1f", k / 1024 }')
row "the station's peak resident memory, 32 ports" "$mb MB" "under 8 MB: $(goal "$mb" 'v < 8')"

# A fixture: the time from a device behind the watched link to its stored line (its store, about
# 115 ms paced, included), over a few arrivals.
fixture=$work/fixture
out=$work/watch.out
"$bin/qorv-station" --watch "$settings" "$fixture" >"$out" 2>&1 &
watcher=$!
pids+=($watcher)
latencies=()
for arrival in 1 2 3 4 5; do
    "$bin/sim/pelorix-sim" --once --baud 115200 --link "$work/arriving" >/dev/null 2>&1 &
    pids+=($!)
    for _ in $(seq 200); do [ -e "$work/arriving" ] && break; sleep 0.01; done
    sleep 0.$((RANDOM % 200 + 100))
    start=$(date +%s%N)
    mv -T "$work/arriving" "$fixture"
    until grep -q "arrival $arrival: " "$out"; do sleep 0.001; done
    latencies+=($(( ($(date +%s%N) - start) / 1000000 )))
    # The device leaves with its link, lest the next one take its terminal's number behind it.
    sleep 0.5
    rm -f "$fixture"
    sleep 1
done
worst=$(printf '%s\n' "${latencies[@]}" | sort -n | tail -1)
row "fixture: a device that starts answering until its stored line, paced store included (5 arrivals)" \
    "${latencies[*]} ms; the store alone $one ms" \
    "store begun within 300 ms: $(goal "$worst" "v - $one <= 300")"
kill "$watcher" 2>/dev/null || true

# A fixture watching 8 ports whose devices stay after their stores: the station's CPU over 20 s.
"$bin/qorv-station" --watch "$settings" $(ports 8) >/dev/null 2>&1 &
watcher=$!
pids+=($watcher)
sleep 3
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
before=$(ticks "$watcher")
sleep 20
after=$(ticks "$watcher")
hz=$(getconf CLK_TCK)
share=$(awk -v t="$((after - before))" -v hz="$hz" 'BEGIN { printf "%.2f", t / hz / 20 * 100 }')
row "fixture watching 8 ports, devices staying (probed 5 times a second each): CPU of one core" \
    "$share%" "under 2%: $(goal "$share" 'v < 2')"
kill "$watcher" 2>/dev/null || true

echo "| Measure | Result | Goal |"
echo "|---|---|---|"
printf '%s\n' "${rows[@]}"
