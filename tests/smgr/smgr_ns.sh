#!/usr/bin/env bash
# smgr_ns.sh [--monitor TESTMON DEVICE... --] PROGRAM [ARG...]
#
# Runs PROGRAM against the storage reservation manager's store in private
# IPC and mount namespaces, so no System V object of the machine is seen or
# touched: a tmpfs over /usr/kx holds an empty bin/devmonitor, the path the
# store's keys are made from.  Where /usr/kx does not exist, /usr is first
# overlaid with an upper layer on a private tmpfs, so the mount point exists
# only inside.
#
# --monitor: TESTMON (smgr_testmon) creates the device monitor's objects for
#   DEVICE... (ID:NAME:FREE_BYTES) before PROGRAM and removes them after.
# SMGR_PG_DIR: a pg_start.sh directory; KXDB_CONNINFO is read from its pg.env.
#
# Needs root (unshare, mount).  Exits with PROGRAM's status.
set -euo pipefail

prog=smgr_ns.sh
die() {
    printf '%s: %s\n' "$prog" "$*" >&2
    exit 1
}

if [ "${1:-}" != --inside ]; then
    [ "$#" -ge 1 ] || die "usage: $prog [--monitor TESTMON DEVICE... --] PROGRAM [ARG...]"
    [ "$(id -u)" -eq 0 ] || die "needs root for unshare and mount"
    self=$(realpath -- "$0")
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/smgr-ns.XXXXXX")
    # The test device monitor refuses to work in the namespace it came from.
    SMGR_OUTER_IPC_NS=$(readlink /proc/self/ns/ipc)
    export SMGR_OUTER_IPC_NS
    rc=0
    unshare --ipc --mount --propagation private -- "$self" --inside "$scratch" "$@" || rc=$?
    rmdir -- "$scratch" 2>/dev/null || true
    exit "$rc"
fi
shift
scratch=$1
shift

# Everything below happens in the private namespaces.
mount -t tmpfs -o size=8m,mode=0700 smgr-scratch "$scratch"
if [ ! -d /usr/kx ]; then
    case "$scratch" in
        *[,:\\]*) die "scratch path unusable in overlay options: $scratch" ;;
    esac
    mkdir -- "$scratch/upper" "$scratch/work"
    mount -t overlay overlay -o "lowerdir=/usr,upperdir=$scratch/upper,workdir=$scratch/work" /usr
    mkdir /usr/kx
fi
mount -t tmpfs -o size=1m,mode=0755 smgr-kx /usr/kx
mkdir /usr/kx/bin
: >/usr/kx/bin/devmonitor

if [ -n "${SMGR_PG_DIR:-}" ]; then
    env_file=$SMGR_PG_DIR/pg.env
    [ -r "$env_file" ] || die "cannot read $env_file (is the smgr_pg fixture up?)"
    # Read as data, never run: the one KXDB_CONNINFO='...' line.
    conninfo=$(sed -n "s/^KXDB_CONNINFO='\\(.*\\)'\$/\\1/p" -- "$env_file" | head -n 1)
    [ -n "$conninfo" ] || die "$env_file has no KXDB_CONNINFO line"
    export KXDB_CONNINFO="$conninfo"
fi

monitor=
if [ "${1:-}" = --monitor ]; then
    shift
    [ "$#" -ge 1 ] || die "--monitor needs TESTMON"
    monitor=$1
    shift
    devices=()
    while [ "$#" -gt 0 ] && [ "$1" != -- ]; do
        devices+=("$1")
        shift
    done
    [ "${1:-}" = -- ] || die "--monitor TESTMON DEVICE... must end with --"
    shift
    "$monitor" create "${devices[@]}"
fi
[ "$#" -ge 1 ] || die "no PROGRAM given"

rc=0
"$@" || rc=$?
if [ -n "$monitor" ]; then
    "$monitor" remove || rc=1
fi
exit "$rc"
