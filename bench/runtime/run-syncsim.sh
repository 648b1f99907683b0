#!/usr/bin/env bash
# Measures durable throughput of the demo flow with every disk flush simulated: syncsim
# (an LD_PRELOAD library, see its README) makes each fsync a steady, counted flush of
# SYNCSIM_US microseconds, and the queue manager lives on a tmpfs. For each count it starts
# the brokers on a fresh queue manager, runs flowload, and prints flowload's line with the
# flushes per request of the brokers, of the load tool and, with PostgreSQL, of the server.
# Usage: bench/runtime/run-syncsim.sh [--backend sqlite|postgres] [--processes]
#            SYNCSIM_SO [BUILD_DIR] [REQUESTS] [IN_FLIGHT] [COUNTS...]
#   --backend sqlite    the queue manager in an SQLite file (the default)
#   --backend postgres  the queue manager in a throwaway PostgreSQL cluster on the tmpfs
#                       (scripts/pg-fixture.sh), its server processes under syncsim too
#   --processes         each count is a number of broker processes of one instance each
#                       (default: the instances of one broker process)
#   (defaults: ./build, 600 requests, 8 in flight, counts 1 2 4; flush 1000 us unless
#   SYNCSIM_US is set; FLOWLOAD_ARGS adds flowload options, TMPFS_DIR chooses the tmpfs,
#   default /dev/shm; SYNCSIM_SO "none" runs on the real disk of TMPFS_DIR, without
#   counting flushes)
set -euo pipefail
usage() { sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; }
backend=sqlite
mode=instances
while [ $# -gt 0 ]; do
    case "$1" in
    -h | --help) usage; exit 0 ;;
    --backend)
        [ $# -ge 2 ] || { echo "run-syncsim: --backend needs sqlite or postgres" >&2; exit 2; }
        backend=$2
        shift 2
        ;;
    --backend=*) backend=${1#--backend=}; shift ;;
    --processes) mode=processes; shift ;;
    --) shift; break ;;
    -*) echo "run-syncsim: unknown option '$1' (see --help)" >&2; exit 2 ;;
    *) break ;;
    esac
done
case "$backend" in
sqlite | postgres) ;;
*) echo "run-syncsim: --backend takes sqlite or postgres, not '$backend'" >&2; exit 2 ;;
esac
if [ $# -lt 1 ]; then
    usage >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
if [ "$1" = none ]; then
    syncsim_so=
else
    syncsim_so=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
fi
build=$(cd "${2:-$top/build}" && pwd)
requests=${3:-600}
in_flight=${4:-8}
shift $(($# < 4 ? $# : 4))
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1 2 4)
broker=$build/runtime/trevane-broker
mqadmin=$build/messaging/mqadmin
flowload=$build/bench/runtime/flowload
for program in ${syncsim_so:+"$syncsim_so"} "$broker" "$mqadmin" "$flowload"; do
    [ -e "$program" ] || { echo "run-syncsim: $program is missing" >&2; exit 1; }
done
warm_up=50

work=$(mktemp -d "${TMPFS_DIR:-/dev/shm}/trevane-syncsim.XXXXXX")
pgdir=$work/pg
broker_pids=()
stop_brokers() {
    local pid
    for pid in "${broker_pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${broker_pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    broker_pids=()
}
cleanup() {
    stop_brokers
    if [ -d "$pgdir" ]; then
        bash "$top/scripts/pg-fixture.sh" stop "$pgdir" >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
export TREVANE_MQ_DIR=$work/mq TREVANE_DEMO_DIR=$work
export SYNCSIM_US=${SYNCSIM_US:-1000} SYNCSIM_LOCK=$work/syncsim.lock
# The PostgreSQL server runs as another user: it must reach its directory and, under
# syncsim, the library, the lock and its counter.
chmod 755 "$work"
syncsim=
if [ -n "$syncsim_so" ]; then
    cp "$syncsim_so" "$work/syncsim.so"
    chmod 755 "$work/syncsim.so"
    syncsim=$work/syncsim.so
    for file in "$SYNCSIM_LOCK" "$work/server.bin"; do
        : >"$file"
        chmod 666 "$file"
    done
fi

flushes() { od -An -tu8 "$1" 2>/dev/null | tr -d ' \n' | grep . || echo 0; }

conninfo=
if [ "$backend" = postgres ]; then
    # The cluster is made without syncsim, then started again under it.
    bash "$top/scripts/pg-fixture.sh" start "$pgdir" >/dev/null
    if [ -n "$syncsim" ]; then
        bash "$top/scripts/pg-fixture.sh" pause "$pgdir"
        LD_PRELOAD=$syncsim SYNCSIM_COUNTER=$work/server.bin \
            bash "$top/scripts/pg-fixture.sh" resume "$pgdir"
    fi
    conninfo="host=$pgdir port=5432 user=trevane"
fi

measure() { # measure COUNT
    local n=$1 i
    rm -rf "$work/mq" "$work"/ready* "$work/broker.bin" "$work/client.bin"
    if [ "$backend" = postgres ]; then
        local database=trevane_run_$RANDOM$RANDOM
        createdb -h "$pgdir" -p 5432 -U trevane "$database"
        "$mqadmin" create-qm OSTRIN_QM --postgres "$conninfo dbname=$database" >/dev/null
    else
        "$mqadmin" create-qm OSTRIN_QM >/dev/null
    fi
    for queue in I1.Q SQLCODE_42704.Q I1.BACKOUT.Q; do
        "$mqadmin" define-q OSTRIN_QM "$queue" >/dev/null
    done
    local processes=1 instances=$n
    if [ "$mode" = processes ]; then
        processes=$n
        instances=1
    fi
    for i in $(seq "$processes"); do
        LD_PRELOAD=$syncsim SYNCSIM_COUNTER=$work/broker.bin "$broker" \
            --plugin-path "$build/node" --broker "TREVANE_BROKER_$i" \
            --instances $((instances - 1)) --ready-file "$work/ready$i" \
            "$top/examples/sqlcode/sqlcode.yaml" 2>>"$work/broker.log" &
        broker_pids+=($!)
    done
    for i in $(seq "$processes"); do
        for _ in $(seq 300); do
            [ -f "$work/ready$i" ] && break
            sleep 0.1
        done
        [ -f "$work/ready$i" ] || {
            tail -20 "$work/broker.log" >&2
            echo "run-syncsim: broker $i did not get ready" >&2
            exit 1
        }
    done
    local broker_before server_before line
    broker_before=$(flushes "$work/broker.bin")
    server_before=$(flushes "$work/server.bin")
    # shellcheck disable=SC2086
    line=$(LD_PRELOAD=$syncsim SYNCSIM_COUNTER=$work/client.bin "$flowload" \
        --label "backend=$backend $mode=$n" --requests "$requests" --in-flight "$in_flight" \
        --warm-up "$warm_up" ${FLOWLOAD_ARGS:-})
    local broker_flushes client_flushes server_flushes
    broker_flushes=$(($(flushes "$work/broker.bin") - broker_before))
    server_flushes=$(($(flushes "$work/server.bin") - server_before))
    client_flushes=$(flushes "$work/client.bin")
    if [ -z "$syncsim" ]; then
        echo "$line"
    else
        awk -v line="$line" -v b="$broker_flushes" -v c="$client_flushes" \
            -v s="$server_flushes" -v pg="$backend" -v n=$((requests + warm_up)) \
            'BEGIN {
                printf "%s broker_flushes_per_request=%.2f client_flushes_per_request=%.2f", line, b / n, c / n
                if (pg == "postgres") printf " server_flushes_per_request=%.2f", s / n
                printf "\n"
            }'
    fi
    stop_brokers
}

flush="flush_us=$SYNCSIM_US"
[ -n "$syncsim" ] || flush="real disk ($work)"
echo "backend=$backend requests=$requests in_flight=$in_flight $flush ($(nproc) CPUs," \
    "load average $(cut -d' ' -f1-3 /proc/loadavg))"
for n in "${counts[@]}"; do
    measure "$n"
done
