#!/usr/bin/env bash
# bmc_stop.sh [--keep] DIR
#
# Stops the simulated BMC that bmc_start.sh started in DIR and removes DIR.
# With --keep the BMC is stopped and DIR left in place.  A DIR that is gone
# already is fine; one that bmc_start.sh did not make is not removed.
set -euo pipefail

prog=bmc_stop.sh
die() {
    printf '%s: %s\n' "$prog" "$*" >&2
    exit 1
}

keep=
if [ "${1:-}" = --keep ]; then
    keep=1
    shift
fi
[ "$#" -eq 1 ] && [ -n "$1" ] || die "usage: $prog [--keep] DIR"
dir=$(realpath -m -- "$1")
[ -d "$dir" ] || exit 0

# One plain NAME=value line of bmc.env, read without running the file.
env_value() {
    [ -f "$dir/bmc.env" ] || return 0
    sed -n "s/^$1=//p" -- "$dir/bmc.env" | head -n 1
}

pid=$(env_value BMC_PID)
case "$pid" in *[!0-9]*) pid= ;; esac

# True while PID is an ipmi_sim running in DIR, so that a recycled PID of
# some other process is never signalled.
ours() {
    [ -n "$pid" ] &&
        [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = ipmi_sim ] &&
        [ "$(readlink "/proc/$pid/cwd" 2>/dev/null)" = "$dir" ]
}

# ipmi_sim needs about 0.4 s to exit after SIGTERM; a new one started on
# the same port before that fails.
for signal in TERM KILL; do
    ours || break
    kill "-$signal" "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
        ours || break
        sleep 0.1
    done
done
ours && die "ipmi_sim $pid in $dir would not stop"
rm -f -- "$dir/bmc.env"

[ -z "$keep" ] || exit 0
if [ -e "$dir/.bmcrig" ]; then
    rm -rf -- "$dir"
else
    die "$dir was not made by bmc_start.sh; not removing it"
fi
