#!/usr/bin/env bash
# What counting messages costs: builds bench_runtime and bench_counting twice, with the
# per-node counters (TREVANE_FLOW_COUNTERS=ON) and with them compiled out (OFF), both
# Release. Then runs, from the two builds in turn, ROUNDS times each: the demo flow's
# benchmark (1 instance; requests per second) and a delivery along four pass-through
# nodes (nanoseconds per message, where the counting is all there is to see). Prints
# every round, the medians and their ratios (on / off). Set TMPDIR=/dev/shm to keep the
# queue manager's syncs off the disk.
# Usage: bench/runtime/run-counters.sh [ROUNDS] [ON_BUILD_DIR] [OFF_BUILD_DIR]
#        (defaults: 7, build-counters-on, build-counters-off)
set -euo pipefail
if [ "${1:-}" = "-h" ] || [ "${1:-}" = "--help" ]; then
    sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
fi
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
rounds=${1:-7}
on=${2:-$top/build-counters-on}
off=${3:-$top/build-counters-off}
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
for pair in "$on:ON" "$off:OFF"; do
    dir=${pair%:*}
    cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" \
        -DTREVANE_FLOW_COUNTERS="${pair##*:}" >/dev/null
    cmake --build "$dir" --target bench_runtime bench_counting trevane >/dev/null
done

# The demo flow's mean requests per second on one instance, from a build.
rps() {
    "$1/bench/runtime/bench_runtime" --benchmark_filter='BM_DemoFlow/1/' \
        --benchmark_format=json 2>/dev/null |
        sed -n 's/^ *"rps": \([0-9.e+]*\),\{0,1\}$/\1/p' | head -n 1
}

# Nanoseconds per message along the four counted nodes, from a build.
nanoseconds() {
    "$1/bench/broker/bench_counting" --benchmark_min_time=0.5 --benchmark_format=json 2>/dev/null |
        sed -n 's/^ *"cpu_time": \([0-9.e+]*\),\{0,1\}$/\1/p' | head -n 1
}

on_results=()
off_results=()
on_ns=()
off_ns=()
for round in $(seq "$rounds"); do
    a=$(rps "$on")
    b=$(rps "$off")
    c=$(nanoseconds "$on")
    d=$(nanoseconds "$off")
    on_results+=("$a")
    off_results+=("$b")
    on_ns+=("$c")
    off_ns+=("$d")
    printf 'round %d: demo flow counters on %.1f req/s, off %.1f req/s; four nodes on %.1f ns, off %.1f ns\n' \
        "$round" "$a" "$b" "$c" "$d"
done
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
m_on=$(median "${on_results[@]}")
m_off=$(median "${off_results[@]}")
n_on=$(median "${on_ns[@]}")
n_off=$(median "${off_ns[@]}")
awk -v a="$m_on" -v b="$m_off" -v c="$n_on" -v d="$n_off" 'BEGIN {
    printf "median demo flow: counters on %.1f req/s, off %.1f req/s, on/off %.3f\n", a, b, a / b
    printf "median four nodes: counters on %.1f ns, off %.1f ns per message, on - off %.1f ns\n", c, d, c - d
}'
