#!/usr/bin/env bash
# A throwaway PostgreSQL server for tests and demos: its own cluster in a directory of its
# own, listening only on a Unix socket in that directory, stopped and removed afterwards.
#
#   pg-fixture.sh start DIR   create the cluster in DIR, start it, create the database
#                             "trevane", write DIR/odbcinst.ini, DIR/odbc.ini (DSN
#                             "trevane") and DIR/env (the variables a client needs)
#   pg-fixture.sh stop DIR    stop the server and remove DIR
#   pg-fixture.sh pause DIR   stop the server, keeping its cluster (fast shutdown)
#   pg-fixture.sh resume DIR  start the paused server again
#   pg-fixture.sh env DIR     print the variables a client needs (source it)
#
# PostgreSQL refuses to run as root, so under root the server runs as the system user
# "postgres" (made by the Debian package) or, failing that, "trevane-pg", created here.
# Clients connect as the cluster's superuser "trevane" with trust authentication: the
# socket directory is the only way in. Extra server settings may be given in
# TREVANE_PG_OPTIONS (for example "-c fsync=off").
set -euo pipefail

usage() {
    sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'
}

die() {
    echo "pg-fixture: $*" >&2
    exit 1
}

find_bin() { # the directory of the newest installed server's programs
    local d
    for d in $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V -r); do
        [ -x "$d/initdb" ] && [ -x "$d/pg_ctl" ] && { echo "$d"; return 0; }
    done
    command -v initdb >/dev/null 2>&1 && { dirname "$(command -v initdb)"; return 0; }
    die "no PostgreSQL server programs (initdb, pg_ctl) found: run scripts/install-deps.sh"
}

odbc_driver() { # the PostgreSQL Unicode ODBC driver's shared object
    local f
    for f in /usr/lib/*/odbc/psqlodbcw.so /usr/lib/odbc/psqlodbcw.so; do
        [ -f "$f" ] && { echo "$f"; return 0; }
    done
    echo psqlodbcw.so
}

server_user() {
    if [ "$(id -u)" -ne 0 ]; then
        id -un
        return
    fi
    if id postgres >/dev/null 2>&1; then
        echo postgres
        return
    fi
    id trevane-pg >/dev/null 2>&1 ||
        useradd --system --no-create-home --shell /usr/sbin/nologin trevane-pg ||
        die "cannot create the system user trevane-pg for the server"
    echo trevane-pg
}

as_server() { # run a command as the server's user
    local user=$1
    shift
    if [ "$(id -u)" -eq 0 ] && [ "$user" != root ]; then
        runuser -u "$user" -- "$@"
    else
        "$@"
    fi
}

print_env() {
    local dir=$1
    cat <<ENV
export PGHOST='$dir'
export PGPORT=5432
export PGUSER=trevane
export PGDATABASE=trevane
export ODBCSYSINI='$dir'
export ODBCINI='$dir/odbc.ini'
export TREVANE_PG_CONNINFO='host=$dir port=5432 user=trevane dbname=trevane'
export TREVANE_PG_ODBC='DSN=trevane'
ENV
}

stop_server() {
    local dir=$1 bin user
    [ -d "$dir/data" ] || return 0
    bin=$(find_bin)
    user=$(stat -c %U "$dir/data")
    if [ -f "$dir/data/postmaster.pid" ]; then
        as_server "$user" "$bin/pg_ctl" -D "$dir/data" -m immediate -w -t 30 stop >/dev/null 2>&1 || true
    fi
}

launch() { # start the server of the cluster in DIR
    local dir=$1 bin user
    bin=$(find_bin)
    user=$(stat -c %U "$dir/data")
    # Unix socket in DIR only: no TCP listener at all.
    # shellcheck disable=SC2086
    if ! as_server "$user" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
        -o "-c listen_addresses='' -c unix_socket_directories='$dir' -c port=5432 ${TREVANE_PG_OPTIONS:-}" \
        start >/dev/null 2>&1; then
        cat "$dir/server.log" >&2 || true
        die "the PostgreSQL server in $dir did not start (server log above)"
    fi
}

start() {
    local dir=$1 bin user
    bin=$(find_bin)
    user=$(server_user)
    # A cluster left behind by a run that was killed is stopped and made anew.
    if [ -d "$dir" ]; then
        stop_server "$dir"
        rm -rf "$dir"
    fi
    mkdir -p "$dir"
    [ ${#dir} -le 90 ] || die "socket directory '$dir' is too long for a Unix socket path"
    chown "$user" "$dir" 2>/dev/null || true
    chmod 755 "$dir"
    if ! as_server "$user" "$bin/initdb" -D "$dir/data" -U trevane --auth=trust \
        --encoding=UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1; then
        cat "$dir/initdb.log" >&2
        die "initdb failed in $dir/data (log above)"
    fi
    launch "$dir"
    if ! "$bin/createdb" -h "$dir" -p 5432 -U trevane trevane 2>"$dir/createdb.log"; then
        cat "$dir/createdb.log" >&2
        stop_server "$dir"
        die "could not create the database 'trevane' in $dir"
    fi
    cat >"$dir/odbcinst.ini" <<INI
[PostgreSQL Unicode]
Description=PostgreSQL ODBC driver (Unicode)
Driver=$(odbc_driver)
INI
    cat >"$dir/odbc.ini" <<INI
[trevane]
Driver=PostgreSQL Unicode
Servername=$dir
Port=5432
Database=trevane
Username=trevane
INI
    print_env "$dir" >"$dir/env"
    echo "pg-fixture: PostgreSQL running in $dir (socket only; source $dir/env)"
}

cmd=${1:-}
dir=${2:-}
case "$cmd" in
start)
    [ -n "$dir" ] || die "start needs a directory"
    start "$dir"
    ;;
stop)
    [ -n "$dir" ] || die "stop needs a directory"
    stop_server "$dir"
    rm -rf "$dir"
    ;;
env)
    [ -n "$dir" ] || die "env needs a directory"
    print_env "$dir"
    ;;
pause)
    [ -n "$dir" ] && [ -d "$dir/data" ] || die "pause needs the directory of a started server"
    as_server "$(stat -c %U "$dir/data")" "$(find_bin)/pg_ctl" -D "$dir/data" -m fast -w -t 30 \
        stop >/dev/null || die "the PostgreSQL server in $dir did not stop"
    ;;
resume)
    [ -n "$dir" ] && [ -d "$dir/data" ] || die "resume needs the directory of a paused server"
    launch "$dir"
    ;;
-h | --help | help)
    usage
    ;;
*)
    usage >&2
    exit 2
    ;;
esac
