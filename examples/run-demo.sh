#!/usr/bin/env bash
# The SQLCODE demonstration, end to end, with real processes and real files:
#   1. a fresh queue manager OSTRIN_QM with the queues I1.Q, SQLCODE_42704.Q and
#      I1.BACKOUT.Q, in a new temporary TREVANE_MQ_DIR (so every run starts clean);
#   2. trevane-broker deploys examples/sqlcode/sqlcode.yaml: MQInput (I1.Q) -> Database
#      (a statement on a table that does not exist) -failure-> TrevaneNode
#      (CopyValueTo Root.outer.Status) -> MQOutput (SQLCODE_42704.Q);
#   3. flowping, with its defaults, puts '<outer><tag1>data1</tag1></outer>' on I1.Q and
#      prints the reply it finds on SQLCODE_42704.Q;
#   4. the broker is stopped (SIGTERM), which deletes every node context.
# With "postgres" the Database node's data source is a throwaway PostgreSQL server
# (scripts/pg-fixture.sh) reached through its ODBC driver instead of a SQLite file; the
# driver reports SQLSTATE 42P01, and the node stores its digit run, 42.
# Usage: examples/run-demo.sh BUILD_DIR [postgres]   (./run.sh demo passes its build directory)
set -euo pipefail

if [ "${1:-}" = "-h" ] || [ "${1:-}" = "--help" ]; then
    sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
fi
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
broker=$build/runtime/trevane-broker
mqadmin=$build/messaging/mqadmin
flowping=$build/client/flowping
plugin_dir=$build/node
flow=$here/sqlcode/sqlcode.yaml
source_kind=${2:-sqlite}
case "$source_kind" in
sqlite | postgres) ;;
*)
    echo "demo: unknown data source '$source_kind' (sqlite or postgres)" >&2
    exit 2
    ;;
esac
for program in "$broker" "$mqadmin" "$flowping" "$plugin_dir/libtrevane.so"; do
    if [ ! -e "$program" ]; then
        echo "demo: $program is missing; build first (./run.sh demo does)" >&2
        exit 1
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/trevane-demo.XXXXXX")
broker_pid=
cleanup() {
    if [ -n "$broker_pid" ] && kill -0 "$broker_pid" 2>/dev/null; then
        kill -TERM "$broker_pid" 2>/dev/null || true
        wait "$broker_pid" 2>/dev/null || true
    fi
    if [ "$source_kind" = postgres ]; then
        bash "$here/../scripts/pg-fixture.sh" stop "$work/pg" >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

export TREVANE_MQ_DIR=$work/queue-managers
export TREVANE_DEMO_DIR=$work

echo "== Queue manager OSTRIN_QM in $TREVANE_MQ_DIR"
"$mqadmin" create-qm OSTRIN_QM
for queue in I1.Q SQLCODE_42704.Q I1.BACKOUT.Q; do
    "$mqadmin" define-q OSTRIN_QM "$queue"
done

if [ "$source_kind" = postgres ]; then
    echo "== PostgreSQL in $work/pg (Unix socket only), reached through ODBC as DSN 'trevane'"
    chmod 755 "$work" # the server may run as another user (PostgreSQL refuses root)
    bash "$here/../scripts/pg-fixture.sh" start "$work/pg" >/dev/null
    # shellcheck disable=SC1091
    . "$work/pg/env"
    # The same flow, its data source switched to the ODBC data source.
    sed 's|^\( *dataSource:\).*$|\1 odbc:DSN=trevane|' "$flow" >"$work/sqlcode.yaml"
    flow=$work/sqlcode.yaml
fi

echo "== Starting trevane-broker with examples/sqlcode/sqlcode.yaml"
"$broker" --plugin-path "$plugin_dir" --ready-file "$work/ready" --log "$work/broker.log" \
    "$flow" 2>/dev/null &
broker_pid=$!
for _ in $(seq 300); do
    [ -f "$work/ready" ] && break
    if ! kill -0 "$broker_pid" 2>/dev/null; then
        echo "demo: the broker ended before the flow was ready:" >&2
        cat "$work/broker.log" >&2 || true
        exit 1
    fi
    sleep 0.1
done
if [ ! -f "$work/ready" ]; then
    echo "demo: the flow was not ready after 30 seconds" >&2
    exit 1
fi

echo "== Flow ready; running flowping"
status=0
# flowping writes its progress to standard output and the reply to standard error; shown
# in that order below.
(cd "$work" && timeout 60 "$flowping" >"$work/flowping.out" 2>"$work/flowping.err") || status=$?

echo "== Stopping the broker"
kill -TERM "$broker_pid"
wait "$broker_pid" || true
broker_pid=

echo "== Broker log (catalogue texts; the full entries are in the log file)"
sed -e 's/ | trace: .*$//' -e 's/^/   /' "$work/broker.log"

echo "== flowping"
cat "$work/flowping.out" "$work/flowping.err"
if [ "$status" -ne 0 ]; then
    echo "demo: flowping failed (status $status)" >&2
    exit 1
fi
