#!/usr/bin/env bash
# fru_date_test.sh FRU_COMMAND_PROGRAM
#
# The FRU date command as the agent builds it, run for real: ipmi_sim on
# 127.0.0.1:623 inside a private network namespace (ipmiutil has no port
# option), then the agent's pipeline must leave the board's date.
set -euo pipefail

prog=fru_date_test.sh
fail() {
    printf '%s: FAIL: %s\n' "$prog" "$*" >&2
    exit 1
}
[ "$#" -eq 1 ] || fail "usage: $prog FRU_COMMAND_PROGRAM"
helper=$(realpath -- "$1")
rig=$(realpath -- "$(dirname -- "$0")/../rig")

if [ -z "${FRU_TEST_IN_NETNS:-}" ]; then
    if [ "$(id -u)" -ne 0 ] || ! unshare --net true 2>/dev/null; then
        echo "$prog: SKIP: needs root and network namespaces"
        exit 77
    fi
    command -v ipmiutil >/dev/null || fail "ipmiutil not installed (package ipmiutil)"
    exec unshare --net env FRU_TEST_IN_NETNS=1 bash "$0" "$@"
fi

ip link set lo up
dir=$(mktemp -d /tmp/ipmi-fru.XXXXXX)
trap '"$rig/bmc_stop.sh" "$dir" || true' EXIT
"$rig/bmc_start.sh" "$dir" 127.0.0.1:623 >/dev/null

command=$("$helper" 127.0.0.1 admin password)
expected="ipmiutil fru -b -N '127.0.0.1' -U 'admin' -P 'password' -F lan2"
[ "$command" = "$expected" ] || fail "command is [$command], expected [$expected]"

# ipmiutil prints the FRU time (UTC by definition) in local time.
full=$(TZ=UTC sh -c "$command")
printf '%s\n' "$full" | grep -q 'Board Mfg DateTime' ||
    fail "no 'Board Mfg DateTime' line in: $full"
date=$(TZ=UTC sh -c "$command |grep Date |cut -f2-9 -d':'")
[ "$date" = " Tue Jun 15 08:30:00 2021" ] || fail "date text is [$date]"
echo "$prog: ok: [$date]"
