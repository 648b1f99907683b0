#!/usr/bin/env bash
# The project's front door: installs what a fresh Debian 12 machine lacks, builds, and runs.
#   ./run.sh demo        the end-to-end demonstration (SQLite, no server)
#   ./run.sh demo postgres   the same against a throwaway PostgreSQL through ODBC
#   ./run.sh test        build and run every test
#   ./run.sh test-asan   the tests under AddressSanitizer + UndefinedBehaviorSanitizer
#   ./run.sh test-tsan   the thread tests under ThreadSanitizer
#   ./run.sh bench       build and run the benchmarks
#   ./run.sh fuzz [SECONDS]   run each fuzz target for SECONDS (default 60)
#   ./run.sh package     build the Debian packages (trevane, trevane-dev) in build-package/
set -euo pipefail
cd "$(dirname "$0")"
top=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

deps() { bash "$top/scripts/install-deps.sh"; }

build() { # build DIR [cmake options...]
    local dir=$1
    shift
    cmake -S "$top" -B "$top/$dir" -G Ninja "$@" >/dev/null
    cmake --build "$top/$dir" -j "$jobs"
}

cmd=${1:-help}
shift || true
case "$cmd" in
demo)
    deps
    build build
    bash "$top/examples/run-demo.sh" "$top/build" "$@"
    ;;
test)
    deps
    build build
    ctest --test-dir "$top/build" --output-on-failure -j "$jobs" "$@"
    ;;
test-asan)
    deps
    build build-asan -DTREVANE_SANITIZE=address -DTREVANE_BENCH=OFF
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir "$top/build-asan" --output-on-failure -j "$jobs" "$@"
    ;;
test-tsan)
    deps
    build build-tsan -DTREVANE_SANITIZE=thread -DTREVANE_BENCH=OFF
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
        ctest --test-dir "$top/build-tsan" --output-on-failure -j "$jobs" -L threads "$@"
    ;;
bench)
    deps
    build build -DCMAKE_BUILD_TYPE=Release
    for b in "$top"/build/bench/*/bench_*; do
        [ -x "$b" ] && "$b" "$@"
    done
    ;;
fuzz)
    deps
    seconds=${1:-60}
    build build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DTREVANE_FUZZ=ON \
        -DTREVANE_BENCH=OFF
    # Each target starts from its seed corpus in a scratch copy. Its last status line is
    # printed; a crash, leak or time-out is copied to fuzz-findings/<target>/, and the run
    # ends with status 1 once every target has had its time.
    findings="$top/fuzz-findings"
    found=0
    failed=0
    for f in "$top"/build-fuzz/tests/*/fuzz_*; do
        [ -x "$f" ] || continue
        found=1
        name=$(basename "$f")
        corpus="$top/tests/fuzz/corpus/$name"
        work=$(mktemp -d)
        mkdir "$work/corpus" "$work/artifacts"
        [ -d "$corpus" ] && cp -r "$corpus/." "$work/corpus/"
        echo "fuzz: $name for ${seconds}s"
        status=0
        (cd "$work" && "$f" -max_total_time="$seconds" -print_final_stats=1 \
            -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/log" 2>&1) || status=$?
        grep -a -E '^#[0-9]+' "$work/log" | tail -n 1 || true
        grep -a -E '^stat::(number_of_executed_units|peak_rss_mb)' "$work/log" || true
        if [ "$status" -ne 0 ] || [ -n "$(ls -A "$work/artifacts")" ]; then
            failed=1
            mkdir -p "$findings/$name"
            cp "$work/log" "$findings/$name/log"
            cp "$work"/artifacts/* "$findings/$name/" 2>/dev/null || true
            grep -a -E 'ERROR|SUMMARY|Test unit written' "$work/log" | head -n 5 || true
            echo "fuzz: $name FOUND A FAULT (status $status); input and log kept in $findings/$name/"
        fi
        rm -rf "$work"
    done
    [ "$found" = 1 ] || echo "fuzz: no fuzz targets built"
    [ "$failed" = 0 ] || {
        echo "fuzz: findings kept in $findings" >&2
        exit 1
    }
    ;;
package)
    deps
    # A Release tree of its own, for /usr, without tests or benchmarks; CPack installs its
    # two components into the packages (cmake/packaging.cmake).
    build build-package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        -DTREVANE_TESTS=OFF -DTREVANE_BENCH=OFF
    rm -f "$top"/build-package/*.deb
    (cd "$top/build-package" && cpack -G DEB)
    echo "package: the Debian packages are"
    ls -1 "$top"/build-package/*.deb
    ;;
help | --help | -h)
    sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'
    ;;
*)
    echo "run.sh: unknown command '$cmd' (try ./run.sh --help)" >&2
    exit 2
    ;;
esac
