#!/usr/bin/env bash
# Measures the demo flow with trevane-broker and flowload as separate processes: the
# demo flow (MQInput -> Database -> TrevaneNode -> MQOutput) and the baseline (MQInput ->
# MQOutput, bench/runtime/baseline.yaml), each on 1 and 2 instances, against one fresh
# queue manager. Prints flowload's lines, then the demo/baseline ratios. With "postgres"
# the demo flow is measured again with its data source on a throwaway PostgreSQL through
# ODBC (scripts/pg-fixture.sh), in the same run, and the PostgreSQL/SQLite ratios follow.
# Usage: bench/runtime/run-flowload.sh [BUILD_DIR] [REQUESTS] [IN_FLIGHT] [postgres]
#        (defaults: ./build, 500, 8)
set -euo pipefail
if [ "${1:-}" = "-h" ] || [ "${1:-}" = "--help" ]; then
    sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
fi
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
requests=${2:-500}
in_flight=${3:-8}
broker=$build/runtime/trevane-broker
mqadmin=$build/messaging/mqadmin
flowload=$build/bench/runtime/flowload
for program in "$broker" "$mqadmin" "$flowload"; do
    [ -x "$program" ] || { echo "run-flowload: $program is missing; build first" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/trevane-flowload.XXXXXX")
broker_pid=
cleanup() {
    if [ -n "$broker_pid" ]; then
        kill -TERM "$broker_pid" 2>/dev/null || true
        wait "$broker_pid" 2>/dev/null || true
    fi
    if [ -d "$work/pg" ]; then
        bash "$top/scripts/pg-fixture.sh" stop "$work/pg" >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
export TREVANE_MQ_DIR=$work/mq
export TREVANE_DEMO_DIR=$work
"$mqadmin" create-qm OSTRIN_QM >/dev/null
for queue in I1.Q SQLCODE_42704.Q I1.BACKOUT.Q; do
    "$mqadmin" define-q OSTRIN_QM "$queue" >/dev/null
done

measure() { # measure LABEL FLOW INSTANCES
    rm -f "$work/ready"
    "$broker" --plugin-path "$build/node" --instances $(($3 - 1)) --ready-file "$work/ready" \
        "$2" 2>>"$work/broker.log" &
    broker_pid=$!
    for _ in $(seq 300); do
        [ -f "$work/ready" ] && break
        sleep 0.1
    done
    [ -f "$work/ready" ] || { echo "run-flowload: the broker did not get ready" >&2; exit 1; }
    "$flowload" --label "$1" --requests "$requests" --in-flight "$in_flight" | tee -a "$work/results"
    kill -TERM "$broker_pid"
    wait "$broker_pid" || true
    broker_pid=
}

echo "requests=$requests in_flight=$in_flight ($(nproc) CPUs)"
measure baseline/1 "$here/baseline.yaml" 1
measure demo/1 "$top/examples/sqlcode/sqlcode.yaml" 1
measure baseline/2 "$here/baseline.yaml" 2
measure demo/2 "$top/examples/sqlcode/sqlcode.yaml" 2
if [ "${4:-}" = postgres ]; then
    chmod 755 "$work" # the server may run as another user
    bash "$top/scripts/pg-fixture.sh" start "$work/pg" >/dev/null
    # shellcheck disable=SC1091
    . "$work/pg/env"
    sed 's|^\( *dataSource:\).*$|\1 odbc:DSN=trevane|' "$top/examples/sqlcode/sqlcode.yaml" \
        >"$work/sqlcode-pg.yaml"
    measure demo-pg/1 "$work/sqlcode-pg.yaml" 1
    measure demo-pg/2 "$work/sqlcode-pg.yaml" 2
fi

awk '
    { for (i = 2; i <= NF; i++) { split($i, kv, "="); value[$1, kv[1]] = kv[2] } }
    END {
        for (n = 1; n <= 2; n++) {
            b = "baseline/" n; d = "demo/" n
            if (value[b, "rps"] > 0 && value[b, "p50_ms"] > 0)
                printf "demo/baseline, %d instance(s): throughput %.2fx, p50 latency %.2fx, p99 latency %.2fx\n", n,
                    value[d, "rps"] / value[b, "rps"], value[d, "p50_ms"] / value[b, "p50_ms"],
                    value[d, "p99_ms"] / value[b, "p99_ms"]
            p = "demo-pg/" n
            if (value[p, "rps"] > 0 && value[d, "rps"] > 0)
                printf "PostgreSQL/SQLite demo, %d instance(s): throughput %.2fx, p50 latency %.2fx\n", n,
                    value[p, "rps"] / value[d, "rps"], value[p, "p50_ms"] / value[d, "p50_ms"]
        }
    }' "$work/results"
