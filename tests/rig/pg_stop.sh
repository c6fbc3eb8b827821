#!/usr/bin/env bash
# pg_stop.sh [--keep] DIR
#
# Stops the test cluster that pg_start.sh started in DIR and removes DIR.
# With --keep the cluster is stopped and DIR left in place.  A DIR that is
# gone already is fine; one that pg_start.sh did not make is not removed.
set -euo pipefail

prog=pg_stop.sh
die() {
    printf '%s: %s\n' "$prog" "$*" >&2
    exit 1
}

keep=
if [ "${1:-}" = --keep ]; then
    keep=1
    shift
fi
if [ "$#" -ne 1 ] || [ -z "$1" ]; then
    die "usage: $prog [--keep] DIR"
fi
dir=$(realpath -m -- "$1")
[ -d "$dir" ] || exit 0

# Read one plain NAME=value line of pg.env without running the file.
env_value() {
    [ -f "$dir/pg.env" ] || return 0
    sed -n "s/^$1=//p" -- "$dir/pg.env" | head -n 1
}

# The cluster may live in a temporary directory of its own (see pg_start.sh).
home=$(env_value PG_HOST)
case "$home" in
    /tmp/kxrig-pg.*) [ -e "$home/.kxrig" ] || home=$dir ;;
    *) home=$dir ;;
esac
data=$home/data

pg_bin=$(env_value PG_BIN)
case "$pg_bin" in
    /usr/lib/postgresql/*/bin) ;;
    *) pg_bin=$(printf '%s\n' /usr/lib/postgresql/*/bin | sort -V -r | head -n 1) ;;
esac

pid=$(env_value PG_PID)
if [ -z "$pid" ] && [ -f "$data/postmaster.pid" ]; then
    pid=$(head -n 1 -- "$data/postmaster.pid")
fi
case "$pid" in *[!0-9]*) pid= ;; esac

if [ "$(id -u)" -eq 0 ]; then
    as_server() { (cd / && runuser -u postgres -- "$@"); }
else
    as_server() { (cd / && "$@"); }
fi

# True while PID is a live server of this data directory, so a recycled
# PID of some other process is never signalled.
ours() {
    [ -n "$pid" ] && [ -r "/proc/$pid/cmdline" ] &&
        tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | grep -qxF -- "$data"
}

if [ -f "$data/postmaster.pid" ] && [ -x "$pg_bin/pg_ctl" ]; then
    as_server "$pg_bin/pg_ctl" stop -D "$data" -m fast -w -t 30 >/dev/null 2>&1 || true
fi
for signal in TERM KILL; do
    ours || break
    kill "-$signal" "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
        ours || break
        sleep 0.1
    done
done
ours && die "server $pid of $data would not stop"

[ -z "$keep" ] || exit 0
if [ "$home" != "$dir" ]; then
    rm -rf -- "$home"
fi
if [ -e "$dir/.kxrig" ]; then
    rm -rf -- "$dir"
else
    die "$dir was not made by pg_start.sh; not removing it"
fi
