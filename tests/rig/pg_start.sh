#!/usr/bin/env bash
# pg_start.sh DIR [SQLFILE...]
#
# Starts a throwaway PostgreSQL cluster in DIR for tests: unix socket in DIR
# and 127.0.0.1 on a free port, never any other address.  Creates database
# kxdb, loads each SQLFILE into it in order (stopping at the first error)
# and writes DIR/pg.env for the tests to read:
#   KXDB_CONNINFO='host=HOME port=PORT dbname=kxdb user=postgres'
#   PG_HOST=HOME, PG_PORT, PG_PID, PG_DATA, PG_BIN
# HOME is DIR, unless the server's user cannot reach DIR (a checkout below
# a private directory such as /root): then the cluster and its socket live
# in a private temporary directory under /tmp that pg_stop.sh removes.
# As root the server runs as the postgres user; otherwise as the caller.
# The system's own cluster is never touched.  pg_stop.sh DIR undoes it all.
set -euo pipefail

prog=pg_start.sh
die() {
    printf '%s: %s\n' "$prog" "$*" >&2
    exit 1
}

[ "$#" -ge 1 ] || die "usage: $prog DIR [SQLFILE...]"
[ -n "$1" ] || die "DIR must not be empty"

# The path goes into a libpq connection string, postgresql.conf and a
# shell-sourceable file unquoted-safe only if it is plain.
dir=$(realpath -m -- "$1")
shift
case "$dir" in
    / | *[!A-Za-z0-9._/+@,-]*)
        die "DIR must be a plain path of letters, digits and ._/+@,- (got '$dir')" ;;
esac
# Unix socket paths are limited to 107 bytes (".s.PGSQL.NNNNN" included).
[ "${#dir}" -le 90 ] || die "DIR is too long for a unix socket path: $dir"

for f in "$@"; do
    [ -r "$f" ] || die "cannot read SQL file: $f"
done

# The newest installed server.
pg_bin=
while IFS= read -r d; do
    if [ -x "$d/initdb" ] && [ -x "$d/pg_ctl" ]; then
        pg_bin=$d
        break
    fi
done < <(printf '%s\n' /usr/lib/postgresql/*/bin | sort -V -r)
[ -n "$pg_bin" ] || die "no PostgreSQL server found under /usr/lib/postgresql/*/bin"
psql=$pg_bin/psql
[ -x "$psql" ] || psql=$(command -v psql) || die "psql not found"

# initdb refuses to run as root; the server then belongs to postgres.
if [ "$(id -u)" -eq 0 ]; then
    id postgres >/dev/null 2>&1 || die "user postgres does not exist"
    as_server() { (cd / && runuser -u postgres -- "$@"); }
else
    as_server() { (cd / && "$@"); }
fi

# Idempotence: a cluster left running in DIR is stopped first.
if [ -f "$dir/pg.env" ] || [ -f "$dir/data/postmaster.pid" ]; then
    "$(dirname "$(realpath -- "$0")")/pg_stop.sh" --keep "$dir" ||
        die "could not stop the cluster already running in $dir"
fi

# Create DIR and its missing parents traversable by the server's user
# (mktemp directories are 0700).
missing=()
p=$dir
while [ ! -e "$p" ]; do
    missing+=("$p")
    p=$(dirname "$p")
done
mkdir -p -- "$dir"
for p in "${missing[@]}"; do
    chmod 755 -- "$p"
done
chmod 755 -- "$dir"
rm -rf -- "$dir/data" "$dir/postgres.log"
: >"$dir/.kxrig" # marks DIR as a rig directory pg_stop.sh may remove
home=$dir
if [ "$(id -u)" -eq 0 ]; then
    chown postgres:postgres -- "$dir"
    if ! runuser -u postgres -- test -x "$dir" -a -w "$dir"; then
        home=$(mktemp -d /tmp/kxrig-pg.XXXXXX)
        chmod 755 -- "$home"
        : >"$home/.kxrig"
        chown postgres:postgres -- "$home"
        runuser -u postgres -- test -x "$home" -a -w "$home" ||
            die "user postgres cannot reach $home either"
    fi
fi

data=$home/data
log=$home/postgres.log
as_server "$pg_bin/initdb" -D "$data" -U postgres -A trust -E UTF8 --no-locale --no-sync \
    >"$dir/initdb.log" 2>&1 || {
    cat "$dir/initdb.log" >&2
    die "initdb failed in $data"
}

cat >>"$data/postgresql.conf" <<EOF

# Test rig: loopback only, no durability.
listen_addresses = '127.0.0.1'
unix_socket_directories = '$home'
fsync = off
synchronous_commit = off
full_page_writes = off
EOF

port_busy() {
    # Something accepting on the port is enough to rule it out.
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

started=
cleanup() {
    if [ -n "$started" ]; then
        as_server "$pg_bin/pg_ctl" stop -D "$data" -m immediate -w >/dev/null 2>&1 || true
    fi
}
trap cleanup EXIT

port=
for attempt in 1 2 3 4 5 6 7 8 9 10; do
    candidate=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
    port_busy "$candidate" && continue
    rm -f -- "$log"
    if as_server "$pg_bin/pg_ctl" start -D "$data" -l "$log" -w -t 60 -o "-p $candidate" \
        >/dev/null 2>&1; then
        port=$candidate
        started=1
        break
    fi
    # A clash with another listener (or a socket file) is worth a new port;
    # anything else is not.
    if ! grep -qE 'could not bind|could not create (any TCP/IP|listen) socket|already in use' \
        "$log" 2>/dev/null; then
        [ -f "$log" ] && tail -n 20 -- "$log" >&2
        die "the server did not start (attempt $attempt, port $candidate)"
    fi
    as_server "$pg_bin/pg_ctl" stop -D "$data" -m immediate -w >/dev/null 2>&1 || true
done
[ -n "$port" ] || die "no free port found for the server"

pid=$(head -n 1 -- "$data/postmaster.pid")
case "$pid" in '' | *[!0-9]*) die "no postmaster pid in $data/postmaster.pid" ;; esac

run_psql() {
    "$psql" -X -q -v ON_ERROR_STOP=1 -h "$home" -p "$port" -U postgres "$@"
}
run_psql -d postgres -c 'CREATE DATABASE kxdb' >/dev/null || die "could not create database kxdb"
for f in "$@"; do
    run_psql -d kxdb --single-transaction -f "$f" >/dev/null || die "loading $f failed"
done

env_tmp=$(mktemp "$dir/pg.env.XXXXXX")
cat >"$env_tmp" <<EOF
KXDB_CONNINFO='host=$home port=$port dbname=kxdb user=postgres'
PG_HOST=$home
PG_PORT=$port
PG_PID=$pid
PG_DATA=$data
PG_BIN=$pg_bin
EOF
chmod 644 -- "$env_tmp"
mv -f -- "$env_tmp" "$dir/pg.env"
started=
printf '%s: cluster in %s, port %s, pid %s\n' "$prog" "$data" "$port" "$pid"
