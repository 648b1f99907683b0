#!/usr/bin/env bash
# Measures durable throughput of the demo flow with every disk flush simulated: syncsim
# (an LD_PRELOAD library, see its README) makes each fsync a steady, counted flush of
# SYNCSIM_US microseconds, and the queue manager lives on a tmpfs. For each instance count
# it starts trevane-broker on a fresh queue manager, runs flowload, and prints flowload's
# line with the flushes per request of the broker and of the load tool.
# Usage: bench/runtime/run-syncsim.sh SYNCSIM_SO [BUILD_DIR] [REQUESTS] [IN_FLIGHT] [INSTANCES...]
#        (defaults: ./build, 600, 8, instances 1 2 4; flush 1000 us unless SYNCSIM_US is set;
#        FLOWLOAD_ARGS adds flowload options, TMPFS_DIR chooses the tmpfs, default /dev/shm;
#        SYNCSIM_SO "none" runs on the real disk of TMPFS_DIR, without counting flushes;
#        WRITER_STATS=1 prints the queue manager writers' counters of each process after its line)
set -euo pipefail
if [ $# -lt 1 ] || [ "$1" = "-h" ] || [ "$1" = "--help" ]; then
    sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
fi
if [ "$1" = none ]; then
    syncsim=
else
    syncsim=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
fi
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=$(cd "${2:-$top/build}" && pwd)
requests=${3:-600}
in_flight=${4:-8}
shift $(($# < 4 ? $# : 4))
instances=("$@")
[ ${#instances[@]} -gt 0 ] || instances=(1 2 4)
broker=$build/runtime/trevane-broker
mqadmin=$build/messaging/mqadmin
flowload=$build/bench/runtime/flowload
for program in ${syncsim:+"$syncsim"} "$broker" "$mqadmin" "$flowload"; do
    [ -e "$program" ] || { echo "run-syncsim: $program is missing" >&2; exit 1; }
done
warm_up=50

work=$(mktemp -d "${TMPFS_DIR:-/dev/shm}/trevane-syncsim.XXXXXX")
broker_pid=
cleanup() {
    if [ -n "$broker_pid" ]; then
        kill -TERM "$broker_pid" 2>/dev/null || true
        wait "$broker_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
export TREVANE_MQ_DIR=$work/mq TREVANE_DEMO_DIR=$work
[ -z "${WRITER_STATS:-}" ] || export TREVANE_MQ_WRITER_STATS=$work/writer-stats
export SYNCSIM_US=${SYNCSIM_US:-1000} SYNCSIM_LOCK=$work/syncsim.lock

flushes() { od -An -tu8 "$1" 2>/dev/null | tr -d ' \n' | grep . || echo 0; }

measure() { # measure INSTANCES
    rm -rf "$work/mq" "$work/ready" "$work"/*.bin "$work/writer-stats"
    "$mqadmin" create-qm OSTRIN_QM >/dev/null
    for queue in I1.Q SQLCODE_42704.Q I1.BACKOUT.Q; do
        "$mqadmin" define-q OSTRIN_QM "$queue" >/dev/null
    done
    LD_PRELOAD=$syncsim SYNCSIM_COUNTER=$work/broker.bin "$broker" --plugin-path "$build/node" \
        --instances $(($1 - 1)) --ready-file "$work/ready" \
        "$top/examples/sqlcode/sqlcode.yaml" 2>>"$work/broker.log" &
    broker_pid=$!
    for _ in $(seq 300); do
        [ -f "$work/ready" ] && break
        sleep 0.1
    done
    [ -f "$work/ready" ] || { echo "run-syncsim: the broker did not get ready" >&2; exit 1; }
    local before line
    before=$(flushes "$work/broker.bin")
    # shellcheck disable=SC2086
    line=$(LD_PRELOAD=$syncsim SYNCSIM_COUNTER=$work/client.bin "$flowload" \
        --label "instances=$1" --requests "$requests" --in-flight "$in_flight" \
        --warm-up "$warm_up" ${FLOWLOAD_ARGS:-})
    local broker_flushes client_flushes
    broker_flushes=$(($(flushes "$work/broker.bin") - before))
    client_flushes=$(flushes "$work/client.bin")
    if [ -z "$syncsim" ]; then
        echo "$line"
    else
        awk -v line="$line" -v b="$broker_flushes" -v c="$client_flushes" -v n=$((requests + warm_up)) \
            'BEGIN { printf "%s broker_flushes_per_request=%.2f client_flushes_per_request=%.2f\n", line, b / n, c / n }'
    fi
    kill -TERM "$broker_pid"
    wait "$broker_pid" || true
    broker_pid=
    if [ -n "${WRITER_STATS:-}" ] && [ -f "$work/writer-stats" ]; then
        sed 's/^/    /' "$work/writer-stats"
    fi
}

flush="flush_us=$SYNCSIM_US"
[ -n "$syncsim" ] || flush="real disk ($work)"
echo "requests=$requests in_flight=$in_flight $flush ($(nproc) CPUs)"
for n in "${instances[@]}"; do
    measure "$n"
done
