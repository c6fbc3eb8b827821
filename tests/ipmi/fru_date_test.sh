#!/usr/bin/env bash
# fru_date_test.sh FRU_DATE_PROGRAM
#
# The board's manufacturing date read as the agent reads it (the program
# runs get_ipmi_mfg_date with the BMC settings of a configuration file),
# for real: ipmi_sim on 127.0.0.1:623 inside a private network namespace
# (ipmiutil has no port option), and a private process list, so that
# every process there belongs to this test.
#
# The real ipmiutil blanks its own -U and -P arguments once it runs, so it
# cannot show the leak itself; the shell that started it could.  A
# stand-in first on the search path therefore looks at the command line of
# every process while the FRU command runs (the agent's shell included),
# records its arguments and environment, then runs the real ipmiutil.
set -euo pipefail

prog=fru_date_test.sh
fail() {
    printf '%s: FAIL: %s\n' "$prog" "$*" >&2
    exit 1
}
[ "$#" -eq 1 ] || fail "usage: $prog FRU_DATE_PROGRAM"
helper=$(realpath -- "$1")
rig=$(realpath -- "$(dirname -- "$0")/../rig")

if [ -z "${FRU_TEST_IN_NETNS:-}" ]; then
    if [ "$(id -u)" -ne 0 ] || ! unshare --net --pid --fork --mount-proc true 2>/dev/null; then
        echo "$prog: SKIP: needs root and network and PID namespaces"
        exit 77
    fi
    command -v ipmiutil >/dev/null || fail "ipmiutil not installed (package ipmiutil)"
    exec unshare --net --pid --fork --mount-proc env FRU_TEST_IN_NETNS=1 bash "$0" "$@"
fi

ip link set lo up
real_ipmiutil=$(command -v ipmiutil)
dir=$(mktemp -d /tmp/ipmi-fru.XXXXXX)
work=$(mktemp -d /tmp/ipmi-fru-work.XXXXXX)
trap '"$rig/bmc_stop.sh" "$dir" || true; rm -rf -- "$work"' EXIT
"$rig/bmc_start.sh" "$dir" 127.0.0.1:623 >/dev/null
. "$dir/bmc.env"

mkdir "$work/bin"
cat >"$work/bin/ipmiutil" <<EOF
#!/bin/sh
for p in /proc/[0-9]*; do
    tr '\\0' ' ' <"\$p/cmdline" 2>/dev/null && echo
done >"$work/cmdlines"
printf '%s\\n' "\$*" >"$work/args"
printf '%s' "\${IPMI_PASSWORD-(unset)}" >"$work/password"
exec "$real_ipmiutil" "\$@"
EOF
chmod 755 "$work/bin/ipmiutil"

config=$work/corvantis-snmp.conf
(umask 077 && printf 'IpmiHost = %s\nIpmiUser = %s\nIpmiPassword = %s\n' \
    "$BMC_ADDR:$BMC_PORT" "$BMC_USER" "$BMC_PASSWORD" >"$config")

# ipmiutil prints the FRU time (UTC by definition) in local time.
out=$(TZ=UTC PATH="$work/bin:$PATH" "$helper" "$config" "$work/agent.log")
[ "$out" = "rv=0 date=[Tue Jun 15 08:30:00 2021]" ] || fail "read [$out]"

[ -s "$work/cmdlines" ] || fail "the stand-in did not run"
grep -q 'ipmiutil fru -b' "$work/cmdlines" ||
    fail "the agent's shell was not seen: $(cat "$work/cmdlines")"
if grep -nF -- "$BMC_PASSWORD" "$work/cmdlines"; then
    fail "the password was on a command line"
fi
[ "$(cat "$work/args")" = "fru -b -N 127.0.0.1 -U admin -E -F lan2" ] ||
    fail "arguments [$(cat "$work/args")]"
[ "$(cat "$work/password")" = "$BMC_PASSWORD" ] ||
    fail "IPMI_PASSWORD is [$(cat "$work/password")]"
if grep -F -- "$BMC_PASSWORD" "$work/agent.log"; then
    fail "the password was logged"
fi
echo "$prog: ok: [$out]"
