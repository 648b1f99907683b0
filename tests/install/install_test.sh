#!/usr/bin/env bash
# The installed kit works on its own: installs the build into a temporary prefix, builds the
# example plug-in (CMake and pkg-config) and the C example of quenor.o against that prefix
# alone, then hides the build and source trees (a private mount namespace with an empty
# tmpfs over each) and runs, from the prefix only:
#   - trevane-broker --check on the installed demo flow, with no path option;
#   - the example plug-in's flow end to end (mqadmin, trevane-broker, flowping);
#   - the installed demo flow end to end, its catalogue texts read from the prefix;
#   - the C example, which must write its trace file.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

fail() {
    echo "install test: $*" >&2
    exit 1
}

# ---- second half: inside the private mount namespace, with the trees hidden ----------
if [ "${1:-}" = "--hidden" ]; then
    work=$2
    build=$3
    source=$4
    prefix=$work/prefix
    mount -t tmpfs -o size=1m,mode=0755 trevane-hidden "$build" ||
        fail "cannot mount a tmpfs over the build tree $build (needs root and a mount namespace)"
    if [ -d "$source" ]; then
        mount -t tmpfs -o size=1m,mode=0755 trevane-hidden "$source" ||
            fail "cannot mount a tmpfs over the source tree $source"
    fi
    [ ! -e "$build/CMakeCache.txt" ] || fail "the build tree is still visible"
    [ -z "$(ls -A "$source")" ] || fail "the source tree is still visible"
    cd "$work"

    broker_pid=
    stop_broker() {
        if [ -n "$broker_pid" ] && kill -0 "$broker_pid" 2>/dev/null; then
            kill -TERM "$broker_pid" 2>/dev/null || true
            wait "$broker_pid" 2>/dev/null || true
        fi
        broker_pid=
    }
    trap stop_broker EXIT

    # Nothing points the programs anywhere: they find their libraries, plug-ins and
    # catalogues relative to themselves.
    unset TREVANE_PLUGIN_PATH TREVANE_CATALOGUE_PATH LD_LIBRARY_PATH
    export PATH=$prefix/bin:/usr/bin:/bin
    export TREVANE_MQ_DIR=$work/queue-managers
    export TREVANE_DEMO_DIR=$work/demo
    mkdir -p "$TREVANE_DEMO_DIR"
    docs=$(ls -d "$prefix"/share/doc/trevane)

    # run_flow NAME FLOW QM IN OUT BACKOUT EXPECTED: queue manager and queues, the broker
    # with the flow (no path options), one request with flowping, the reply checked.
    run_flow() {
        local name=$1 flow=$2 qm=$3 in=$4 out=$5 backout=$6 expected=$7
        mqadmin create-qm "$qm" >/dev/null
        for queue in "$in" "$out" "$backout"; do
            mqadmin define-q "$qm" "$queue" >/dev/null
        done
        rm -f "$work/$name.ready"
        trevane-broker --ready-file "$work/$name.ready" --log "$work/$name.log" "$flow" \
            2>/dev/null &
        broker_pid=$!
        for _ in $(seq 200); do
            [ -f "$work/$name.ready" ] && break
            kill -0 "$broker_pid" 2>/dev/null || break
            sleep 0.1
        done
        if [ ! -f "$work/$name.ready" ]; then
            cat "$work/$name.log" >&2 || true
            fail "$name: the installed trevane-broker did not get the flow ready"
        fi
        timeout 20 flowping "$qm" "$in" "$out" >"$work/$name.out" 2>"$work/$name.reply" ||
            fail "$name: flowping failed: $(cat "$work/$name.out" "$work/$name.reply")"
        grep -qF "$expected" "$work/$name.reply" ||
            fail "$name: the reply lacks '$expected': $(cat "$work/$name.reply")"
        stop_broker
    }

    echo "== trevane-broker --check on the installed demo flow"
    cp "$docs/examples/sqlcode/sqlcode.yaml" "$work/sqlcode.yaml"
    trevane-broker --check "$work/sqlcode.yaml" 2>"$work/check.log" ||
        fail "--check of the demo flow failed: $(cat "$work/check.log")"

    echo "== the example plug-in's flow"
    run_flow stamp "$docs/examples/plugin/stamp.yaml" STAMP_QM STAMP.IN.Q STAMP.OUT.Q \
        STAMP.BACKOUT.Q "<Stamp>seen by StampNode</Stamp>"

    echo "== the installed demo flow, catalogues from the prefix"
    # A text only the installed catalogue has shows where the broker read it.
    echo "3011 Flow %1 takes messages (installed catalogue)" \
        >>"$prefix/share/trevane/catalogues/TrevaneRuntime.txt"
    run_flow demo "$docs/examples/sqlcode/sqlcode.yaml" OSTRIN_QM I1.Q SQLCODE_42704.Q \
        I1.BACKOUT.Q "<Status>42704</Status>"
    grep -q "SQLCODE_DEMO takes messages (installed catalogue)" "$work/demo.log" ||
        fail "the broker did not read the installed catalogues: $(cat "$work/demo.log")"

    echo "== the C program with quenor.o"
    for program in "$work/tracedemo-cmake/tracedemo" "$work/tracedemo-pc"; do
        rm -f "$work"/tracedemo.*.trc
        TRACEDEMO_TRACE="-f $work/tracedemo%P.trc -l TRACE_INFO -i" "$program" >/dev/null ||
            fail "$program failed"
        cat "$work"/tracedemo.*.trc 2>/dev/null | grep -q "tracedemo says hello" ||
            fail "$program wrote no trace line"
    done
    echo "install test: the installed kit works without the build and source trees"
    exit 0
fi

# ---- first half: install, and build the examples against the prefix ------------------
[ $# -eq 2 ] || fail "usage: install_test.sh BUILD_DIR SOURCE_DIR"
build=$(cd "$1" && pwd -P)
source=$(cd "$2" && pwd -P)
work=$(mktemp -d "${TMPDIR:-/tmp}/trevane-install.XXXXXX")
case "$work/" in
"$build"/* | "$source"/*) fail "the scratch directory $work lies inside a tree to be hidden" ;;
esac
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
quiet() { # runs a step, showing its output only when it fails
    "$@" >"$work/step.log" 2>&1 || {
        cat "$work/step.log" >&2
        fail "failed: $*"
    }
}

command -v unshare >/dev/null || fail "unshare (util-linux) is needed to hide the trees"
unshare --mount true 2>/dev/null ||
    fail "cannot make a private mount namespace (unshare --mount needs root or CAP_SYS_ADMIN)"

echo "== cmake --install into $prefix"
quiet cmake --install "$build" --prefix "$prefix"
for file in bin/trevane-broker bin/mqadmin bin/flowping include/trevane/cni.h \
    share/trevane/catalogues/TrevaneRuntime.txt share/doc/trevane/examples/sqlcode/sqlcode.yaml; do
    [ -e "$prefix/$file" ] || fail "$file was not installed"
done
# lib, or lib/<multiarch> under /usr
library=$(cd "$prefix" && find lib* -name libcnibroker.so.1 | head -n 1)
[ -n "$library" ] || fail "libcnibroker.so.1 was not installed"
libdir=$(dirname "$library")
[ -f "$prefix/$libdir/trevane/plugins/libtrevane.so" ] || fail "the plug-in was not installed"
[ -f "$prefix/$libdir/trevane/quenor.o" ] || fail "quenor.o was not installed"
if readelf -d "$prefix/bin/trevane-broker" | grep -E 'R(UN)?PATH' | grep -qF "$build"; then
    fail "the installed trevane-broker still has an RPATH into the build tree"
fi

export CMAKE_PREFIX_PATH=$prefix
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
export PKG_CONFIG_LIBDIR=$PKG_CONFIG_PATH # nothing from the system's own .pc files
unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER
examples=$prefix/share/doc/trevane/examples

echo "== the example plug-in with find_package(Trevane)"
quiet cmake -S "$examples/plugin" -B "$work/plugin-build" -DCMAKE_BUILD_TYPE=Release
quiet cmake --build "$work/plugin-build"
quiet cmake --install "$work/plugin-build"
[ -f "$prefix/$libdir/trevane/plugins/libstampnode.so" ] ||
    fail "the example plug-in did not install into the kit's plug-in directory"

echo "== the example plug-in with pkg-config"
[ "$(pkg-config --modversion trevane-cni trevane-broker trevane-mq | sort -u)" = 1.0.0 ] ||
    fail "pkg-config does not know trevane-cni, trevane-broker and trevane-mq 1.0.0"
plugindir=$(pkg-config --variable=plugindir trevane-broker)
[ "$(cd "$plugindir" && pwd -P)" = "$(cd "$prefix/$libdir/trevane/plugins" && pwd -P)" ] ||
    fail "pkg-config's plugindir $plugindir is not the prefix's"
# shellcheck disable=SC2046
quiet cc -std=c11 -Wall -Wextra -Werror -shared -fPIC -o "$work/libstampnode-pc.so" \
    "$examples/plugin/stampnode.c" $(pkg-config --cflags trevane-cni)
# An application of the broker and queue manager libraries, in C++.
cat >"$work/app.cpp" <<'APP'
#include "trevane/cni.h"
#include "trevane/mq.h"
int main() {
    return (&cniCreateNodeFactory != nullptr && &MQCONN != nullptr) ? 0 : 1;
}
APP
# shellcheck disable=SC2046
quiet c++ -std=c++20 -Wall -o "$work/app" "$work/app.cpp" \
    $(pkg-config --cflags --libs trevane-broker trevane-mq) \
    -Wl,-rpath,"$(pkg-config --variable=libdir trevane-broker)"
quiet "$work/app"

echo "== the C example of quenor.o (CMake and pkg-config)"
quiet cmake -S "$examples/quenor-c" -B "$work/tracedemo-build" -DCMAKE_BUILD_TYPE=Release
quiet cmake --build "$work/tracedemo-build"
mkdir "$work/tracedemo-cmake"
cp "$work/tracedemo-build/tracedemo" "$work/tracedemo-cmake/"
# shellcheck disable=SC2046
quiet cc -std=c11 -Wall -Wextra -Werror -o "$work/tracedemo-pc" "$examples/quenor-c/tracedemo.c" \
    "$(pkg-config --variable=quenor trevane-cni)" $(pkg-config --cflags trevane-cni) \
    -L"$(pkg-config --variable=kitdir trevane-cni)" -ltrevanethreads -pthread

# The second half runs in a private mount namespace; when it ends, its mounts and every
# process it started are gone with it.
# The script runs from a copy, as its own file disappears from view with the source tree.
cp "$0" "$work/install_test.sh"
unshare --mount --propagation private -- bash "$work/install_test.sh" --hidden "$work" "$build" \
    "$source"
