#!/usr/bin/env bash
# Installs the Debian packages that building and testing need; only what is missing.
set -euo pipefail
packages=(
    build-essential g++ clang clang-14 libclang-rt-14-dev cmake ninja-build pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    libicu-dev libexpat1-dev libxml2-dev libsqlite3-dev sqlite3 libyaml-cpp-dev
    clang-format graphviz procps util-linux
    postgresql libpq-dev unixodbc unixodbc-dev odbc-postgresql
    libcpp-httplib-dev libgraphviz-dev chromium
    man-db groff-base
    dpkg-dev file # Debian packages: dpkg-shlibdeps finds their dependencies, file their ELF files
)
missing=()
for p in "${packages[@]}"; do
    if ! dpkg -s "$p" >/dev/null 2>&1 || ! dpkg -s "$p" 2>/dev/null | grep -q '^Status: install ok installed'; then
        missing+=("$p")
    fi
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "install-deps: installing ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
