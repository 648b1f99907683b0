#!/usr/bin/env bash
# Makes the Debian packages from a built tree with CPack, checks their control data and
# contents, extracts both into a scratch root with dpkg-deb -x, and runs the programs from
# there with the source and build trees hidden (a private mount namespace with an empty
# tmpfs over each): mqadmin --help, trevane-broker --check on the demo flow shipped in the
# package, and the demo's request and reply through the packaged broker and flowping.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR CPACK VERSION
set -euo pipefail

build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
cpack=$3
version=$4

fail() {
    echo "package test: $*" >&2
    exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/trevane-package.XXXXXX")
case "$work/" in
"$build"/* | "$source"/*) fail "the scratch directory $work lies inside the trees it must hide" ;;
esac
cleanup() { rm -rf "$work"; }
trap cleanup EXIT

# 1. The packages, made in the scratch directory (the build tree gains nothing).
if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    fail "cpack failed"
fi
runtime_deb=$(find "$work/out" -maxdepth 1 -name "trevane_${version}-*.deb")
dev_deb=$(find "$work/out" -maxdepth 1 -name "trevane-dev_${version}-*.deb")
if [ -z "$runtime_deb" ] || [ -z "$dev_deb" ]; then
    ls -l "$work/out" >&2
    fail "expected trevane_${version}-*.deb and trevane-dev_${version}-*.deb"
fi

field() { # field DEB NAME
    dpkg-deb -f "$1" "$2"
}

# 2. Control data: names, version, and the dev package tied to this very runtime package.
[ "$(field "$runtime_deb" Package)" = trevane ] || fail "runtime package is not named trevane"
[ "$(field "$dev_deb" Package)" = trevane-dev ] || fail "dev package is not named trevane-dev"
full_version=$(field "$runtime_deb" Version)
case "$full_version" in
"$version"-*) ;;
*) fail "runtime package version '$full_version' is not the project's $version" ;;
esac
[ "$(field "$dev_deb" Version)" = "$full_version" ] || fail "the two packages' versions differ"
dev_depends=$(field "$dev_deb" Depends)
grep -qE "(^|, )trevane \(= ${full_version//./\\.}\)(,|$)" <<<"$dev_depends" ||
    fail "trevane-dev does not depend on trevane (= $full_version): Depends: $dev_depends"
for deb in "$runtime_deb" "$dev_deb"; do
    for f in Maintainer Description Section Architecture; do
        [ -n "$(field "$deb" "$f")" ] || fail "$(basename "$deb") has no $f"
    done
done
grep -q '^libcnibroker ' <<<"$(dpkg-deb -I "$runtime_deb" shlibs 2>/dev/null)" ||
    fail "trevane declares no shlibs entry for libcnibroker"

# 3. Contents: where the parts are, and no file in both packages (dpkg would refuse to
# install the second).
dpkg-deb -c "$runtime_deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort >"$work/runtime.files"
dpkg-deb -c "$dev_deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort >"$work/dev.files"
need() { # need LIST PATTERN...
    local list=$1
    shift
    for pattern in "$@"; do
        grep -qE "$pattern" "$work/$list.files" || fail "the $list package has nothing matching $pattern"
    done
}
need runtime '^usr/bin/trevane-broker$' '^usr/bin/mqadmin$' '^usr/bin/flowping$' \
    '^usr/lib/(.*/)?libcnibroker\.so\.[0-9]' '^usr/lib/(.*/)?libtrevanemq\.so\.[0-9]' \
    '^usr/lib/(.*/)?trevane/plugins/libtrevane\.so$' '/sqlcode/sqlcode\.yaml$' \
    '/catalogues/OSTRINV2_trevane\.txt$' '^usr/share/man/man1/trevane-broker\.1' \
    '^usr/share/man/man1/mqadmin\.1' '^usr/share/man/man1/flowping\.1' \
    '^usr/share/man/man5/trevane-flow\.5'
need dev '^usr/include/trevane/cni\.h$' '^usr/include/trevane/mq\.h$' '/quenor\.o$' \
    '/cmake/Trevane/TrevaneConfig\.cmake$' '/pkgconfig/trevane-cni\.pc$'
both=$(comm -12 "$work/runtime.files" "$work/dev.files")
[ -z "$both" ] || fail "files in both packages: $both"

# 4. Depends covers every library the packaged ELF files need, by the Debian package
# that holds it (the package's own libraries excepted).
mkdir "$work/root"
dpkg-deb -x "$runtime_deb" "$work/root"
dpkg-deb -x "$dev_deb" "$work/root"
depends=$(field "$runtime_deb" Depends)
own=$(find "$work/root" -name '*.so*' -printf '%f\n' | sort -u)
needed=$(find "$work/root/usr/bin" "$work/root/usr/lib" -type f \( -perm -u+x -o -name '*.so*' \) \
    -exec sh -c 'readelf -d "$1" 2>/dev/null' sh {} \; |
    sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort -u)
[ -n "$needed" ] || fail "no NEEDED entries found in the packaged programs"
owner_of() { # the package holding a library; /lib is a link to /usr/lib, dpkg knows one name
    local p q o
    for p in "$1" "$(readlink -f "$1")"; do
        for q in "$p" "${p#/usr}" "/usr$p"; do
            o=$(dpkg -S "$q" 2>/dev/null | awk -F: '!/^diversion/ && o == "" {o = $1} END {print o}')
            [ -n "$o" ] && echo "$o" && return
        done
    done
}
# This machine's libraries of its own architecture (the packages are built for it).
cache=$(ldconfig -p | grep -E 'x86-64|x86_64|64bit|aarch64|AArch64' || ldconfig -p)
for soname in $needed; do
    grep -qxF "$soname" <<<"$own" && continue
    path=$(awk -v n="$soname" '$1 == n && p == "" {p = $NF} END {print p}' <<<"$cache")
    [ -n "$path" ] || fail "$soname, needed by a packaged file, is not on this machine"
    owner=$(owner_of "$path")
    [ -n "$owner" ] || fail "no Debian package holds $path ($soname)"
    grep -qE "(^|, |\\| )${owner//+/\\+}( |,|$)" <<<"$depends" ||
        fail "trevane's Depends lacks $owner, which holds $soname: Depends: $depends"
done

# 5. The programs, from the extracted root alone.
flow=$(find "$work/root/usr/share" -path '*/sqlcode/sqlcode.yaml' -print -quit)
[ -n "$flow" ] || fail "the demo flow is not in the packages"
cat >"$work/inside.sh" <<'EOF'
set -euo pipefail
root=$1 work=$2 flow=$3
shift 3
# Hide each tree under an empty tmpfs, the deepest first (a build tree may lie inside the
# source tree).
printf '%s\n' "$@" | awk '{print length($0) "\t" $0}' | sort -rn | cut -f2- |
    while IFS= read -r tree; do
        [ ! -d "$tree" ] || mount -t tmpfs -o size=1m,mode=0755 tmpfs "$tree"
    done
for tree in "$@"; do
    [ ! -e "$tree" ] || [ -z "$(ls -A "$tree")" ] || { echo "package test: $tree is not hidden" >&2; exit 1; }
done
unset LD_LIBRARY_PATH TREVANE_CATALOGUE_PATH TREVANE_PLUGIN_PATH
bin=$root/usr/bin
for program in trevane-broker mqadmin flowping; do
    if grep -q 'not found' <<<"$(ldd "$bin/$program")"; then
        echo "package test: $program misses libraries:" >&2
        ldd "$bin/$program" >&2
        exit 1
    fi
    for lib in libcnibroker libtrevanemq; do
        where=$(ldd "$bin/$program" | awk -v l="$lib" 'index($1, l) == 1 {print $3}')
        case "$where" in
        "" | "$root"/*) ;;
        *) echo "package test: $program takes $lib from $where, outside the package" >&2; exit 1 ;;
        esac
    done
done

"$bin/mqadmin" --help >"$work/mqadmin-help" 2>&1 || { cat "$work/mqadmin-help" >&2; exit 1; }
grep -q 'create-qm' "$work/mqadmin-help" || { echo "package test: mqadmin --help names no create-qm" >&2; exit 1; }

export TREVANE_MQ_DIR=$work/queue-managers TREVANE_DEMO_DIR=$work
"$bin/mqadmin" create-qm OSTRIN_QM >/dev/null
for queue in I1.Q SQLCODE_42704.Q I1.BACKOUT.Q; do
    "$bin/mqadmin" define-q OSTRIN_QM "$queue" >/dev/null
done

# The broker finds the plug-in and its catalogues by itself: no path options.
"$bin/trevane-broker" --check --log "$work/check.log" "$flow" >"$work/check.out" 2>&1 || {
    echo "package test: trevane-broker --check failed:" >&2
    cat "$work/check.out" "$work/check.log" >&2
    exit 1
}
grep -q 'The Trevane plug-in factory .* is loading' "$work/check.log" || {
    echo "package test: the check's log has no catalogue text for the plug-in's entry:" >&2
    cat "$work/check.log" >&2
    exit 1
}

"$bin/trevane-broker" --ready-file "$work/ready" --log "$work/broker.log" "$flow" \
    >"$work/broker.out" 2>&1 &
broker=$!
trap 'kill -TERM $broker 2>/dev/null || true; wait $broker 2>/dev/null || true' EXIT
for _ in $(seq 300); do
    [ -f "$work/ready" ] && break
    kill -0 "$broker" 2>/dev/null || break
    sleep 0.1
done
[ -f "$work/ready" ] || {
    echo "package test: the packaged broker did not get the flow ready:" >&2
    cat "$work/broker.out" "$work/broker.log" >&2
    exit 1
}
(cd "$work" && timeout 60 "$bin/flowping" >"$work/flowping.out" 2>"$work/flowping.err") || {
    echo "package test: flowping failed:" >&2
    cat "$work/flowping.out" "$work/flowping.err" "$work/broker.log" >&2
    exit 1
}
grep -qF '<Status>42704</Status>' "$work/flowping.err" || {
    echo "package test: flowping's reply lacks the stored SQLSTATE:" >&2
    cat "$work/flowping.out" "$work/flowping.err" >&2
    exit 1
}
kill -TERM "$broker"
wait "$broker" || { echo "package test: the broker's stop failed" >&2; cat "$work/broker.out" >&2; exit 1; }
trap - EXIT
echo "package test: the packaged programs ran from $root alone"
EOF

namespace=(unshare --mount --propagation private)
if ! "${namespace[@]}" true 2>/dev/null; then
    namespace=(unshare --user --map-root-user --mount --propagation private)
    if ! "${namespace[@]}" true 2>/dev/null; then
        echo "package test: no private mount namespace (unshare --mount) here to hide the trees in" >&2
        exit 1
    fi
fi
"${namespace[@]}" bash "$work/inside.sh" "$work/root" "$work" "$flow" "$build" "$source"
echo "package test: $(basename "$runtime_deb") and $(basename "$dev_deb") built, checked and run"
