#!/usr/bin/env bash
# install_test.sh DEB_DIR SMGR_TESTMON
#
# Installs the packages of DEB_DIR (build_debs.sh) as an administrator
# would, without changing the host: inside private mount, PID and network
# namespaces, / is an overlay with its upper layer on a tmpfs, entered with
# chroot; /run and /tmp are empty tmpfs, loopback is the only network.
# There:
#   - dpkg -i the packages; systemd-analyze verify on the installed unit;
#   - the agent runs with the unit's ExecStart line and its EnvironmentFile
#     against a throwaway database (tests/rig/pg_start.sh), under snmpd
#     started as Debian's unit starts it, with Debian's stock snmpd.conf:
#     without the packaged drop-in, community public is refused the
#     subtree; with it, the walk answers all four groups, and the MIB
#     installed in net-snmp's MIB directory names what it returns (given
#     the SMIv2 base modules of tests/mib/base_modules.sh, which Debian's
#     main archive lacks; without them that check is skipped);
#   - a C caller (tests/smgr/smgr_c_caller.c, including <smgr.h>) is built
#     with pkg-config's flags for smgr and run against a test device monitor
#     (SMGR_TESTMON through tests/smgr/smgr_ns.sh);
#   - removal keeps the appliance's log; purge leaves no file of the
#     packages behind.
# Exits 77 (skipped) when the host's snmpd.conf is not Debian's stock one.
# Needs root.
set -euo pipefail

prog=install_test.sh
die() {
    printf '%s: FAIL: %s\n' "$prog" "$*" >&2
    exit 1
}
say() {
    printf '%s: %s\n' "$prog" "$*"
}

here=$(dirname "$(realpath -- "$0")")
src=$(realpath -- "$here/../..")
self=$here/$prog
OID=.1.3.6.1.4.1.47391.1
SNMPD_CONF=/etc/snmp/snmpd.conf
DROPIN=/etc/snmp/snmpd.conf.d/corvantis-snmp.conf
UNIT=/lib/systemd/system/corvantis-snmp.service
KX_LOG=/usr/kx/logs.dir/corvantis-snmp.log

# ------------------------------------------------------------ on the host
if [ "${1:-}" != --inside ] && [ "${1:-}" != --chrooted ]; then
    [ "$#" -eq 2 ] || die "usage: $prog DEB_DIR SMGR_TESTMON"
    [ "$(id -u)" -eq 0 ] || die "needs root (unshare, mount, dpkg)"
    debs=$(realpath -- "$1")
    testmon=$(realpath -- "$2")
    [ -x "$testmon" ] || die "no test device monitor at $testmon"
    compgen -G "$debs/*.deb" >/dev/null || die "no .deb in $debs"

    # Debian's stock file, as dpkg recorded it: anything else would not
    # show what the drop-in does to a fresh installation.
    stock_md5=$(dpkg-query -W -f='${Conffiles}\n' snmpd 2>/dev/null |
        awk -v f="$SNMPD_CONF" '$1 == f { print $2 }')
    if [ -z "$stock_md5" ] || [ "$(md5sum <"$SNMPD_CONF" | cut -d' ' -f1)" != "$stock_md5" ]; then
        say "SKIP: $SNMPD_CONF is not Debian's stock file"
        exit 77
    fi

    work=$(mktemp -d /tmp/corvantis-install.XXXXXX)
    chmod 711 -- "$work"
    cleanup() {
        "$src/tests/rig/pg_stop.sh" "$work/pg" >/dev/null 2>&1 || true
        "$src/tests/rig/pg_stop.sh" "$work/pgsmgr" >/dev/null 2>&1 || true
        rm -rf -- "$work"
    }
    trap cleanup EXIT
    "$src/tests/rig/pg_start.sh" "$work/pg" "$src/kxext/schema.sql" \
        "$src/tests/fixtures/kxdb_fixture.sql" >/dev/null
    "$src/tests/rig/pg_start.sh" "$work/pgsmgr" "$src/kxext/schema.sql" \
        "$src/tests/smgr/devices.sql" >/dev/null
    # PID 1 of the new PID namespace is the inner script: when it ends,
    # whatever it started (snmpd, the agent) goes with it.
    # The packages and the monitor inside the work directory, which the
    # namespace keeps visible.
    mkdir -- "$work/debs"
    cp -- "$debs"/*.deb "$work/debs/"
    cp -- "$testmon" "$work/smgr_testmon"
    base_mibs=$("$src/tests/mib/base_modules.sh" 2>/dev/null) || base_mibs=
    rc=0
    unshare --mount --pid --net --fork --propagation private -- \
        "$self" --inside "$work" "$work/debs" "$work/smgr_testmon" "$base_mibs" || rc=$?
    exit "$rc"
fi

# -------------------------------------------- private namespaces, outside
if [ "$1" = --inside ]; then
    work=$2
    ns=$work/ns
    root=$ns/root
    mkdir -- "$ns"
    mount -t tmpfs -o mode=0755 install-ns "$ns"
    mkdir -- "$ns/upper" "$ns/work" "$root"
    mount -t overlay overlay -o "lowerdir=/,upperdir=$ns/upper,workdir=$ns/work" "$root"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --rbind /sys "$root/sys"
    mount -t tmpfs -o mode=0755 install-run "$root/run"
    mount -t tmpfs -o mode=1777 install-tmp "$root/tmp"
    # The work directory (databases' sockets, packages) at its own path,
    # and the source tree should it lie below /tmp too.
    for keep in "$work" "$src"; do
        case "$keep" in
            /tmp/*)
                mkdir -p -- "$root$keep"
                mount --bind "$keep" "$root$keep"
                ;;
        esac
    done
    ip link set lo up
    exec chroot "$root" "$self" --chrooted "$work" "$3" "$4" "$5"
fi

# ------------------------------------------------------- inside the chroot
work=$2
debs=$3
testmon=$4
base_mibs=$5
cd /
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
export DEBIAN_FRONTEND=noninteractive
unset MIBS MIBDIRS SNMPCONFPATH SNMP_PERSISTENT_DIR KXDB_CONNINFO

pg_conninfo() {
    sed -n "s/^KXDB_CONNINFO='\\(.*\\)'\$/\\1/p" -- "$1/pg.env" | head -n 1
}

wait_until() { # seconds command...: polls every 0.2 s
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}

# The packages' paths, and which of them the host had already.
packages=()
listed=$work/listed
: >"$listed"
for deb in "$debs"/*.deb; do
    case "$deb" in *-dbgsym_*) continue ;; esac
    packages+=("$(dpkg-deb -f "$deb" Package)")
    dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\.||; s|/$||' | grep . >>"$listed"
done
sort -u -o "$listed" "$listed"
preexisting=$work/preexisting
while IFS= read -r p; do
    if [ -e "$p" ] || [ -L "$p" ]; then printf '%s\n' "$p"; fi
done <"$listed" >"$preexisting"

# ---- install
install_debs=()
for deb in "$debs"/*.deb; do
    case "$deb" in *-dbgsym_*) ;; *) install_debs+=("$deb") ;; esac
done
dpkg -i "${install_debs[@]}" >"$work/dpkg-install.log" 2>&1 ||
    { cat "$work/dpkg-install.log" >&2; die "dpkg -i failed"; }
say "installed: ${packages[*]}"

verify=$(systemd-analyze verify "$UNIT" 2>&1) || die "systemd-analyze verify $UNIT: $verify"
[ -z "$verify" ] || die "systemd-analyze verify $UNIT says: $verify"
say "unit verified"

# The appliance's installation directory, which the packages never own.
mkdir -p /usr/kx/logs.dir /usr/kx/schema/snmp /usr/kx/bin

# The unit's environment file, with the test database set as an
# administrator would set it.
printf "KXDB_CONNINFO='%s'\n" "$(pg_conninfo "$work/pg")" >>/etc/default/corvantis-snmp
exec_start=$(sed -n 's/^ExecStart=//p' "$UNIT")
[ -n "$exec_start" ] || die "no ExecStart in $UNIT"

agent_pid=
start_agent() {
    # As systemd reads an EnvironmentFile: NAME=value lines.
    (
        set -a
        # shellcheck disable=SC1091
        . /etc/default/corvantis-snmp
        set +a
        # shellcheck disable=SC2086
        exec $exec_start
    ) >>"$work/agent.out" 2>&1 &
    agent_pid=$!
}
stop_agent() {
    local rc=0
    kill -TERM "$agent_pid"
    wait "$agent_pid" || rc=$?
    [ "$rc" -eq 0 ] || die "agent exited with $rc at SIGTERM: $(cat "$work/agent.out")"
}

snmpd_pid=
start_snmpd() { # extra snmpd.conf files, comma-separated (may be empty)
    local extra=()
    [ -z "$1" ] || extra=(-C -c "$SNMPD_CONF,$1")
    # As Debian's snmpd.service runs it (it also makes /run/agentx).
    mkdir -p /run/agentx
    chown Debian-snmp:Debian-snmp /run/agentx
    /usr/sbin/snmpd -Lf "$work/snmpd.log" -u Debian-snmp -g Debian-snmp \
        -I -smux,mteTrigger,mteTriggerConf -f "${extra[@]}" &
    snmpd_pid=$!
    wait_until 20 snmpget -v2c -c public -t 1 -r 0 127.0.0.1 .1.3.6.1.2.1.1.3.0 >/dev/null 2>&1 ||
        die "snmpd does not answer: $(cat "$work/snmpd.log")"
}
stop_snmpd() {
    kill -TERM "$snmpd_pid"
    wait "$snmpd_pid" || true
}

walk() { # community [snmpwalk options...]
    local community=$1
    shift
    snmpwalk -v2c -c "$community" -t 2 -r 1 "$@" 127.0.0.1 "$OID" 2>&1 || true
}
rows() { # community: walked lines of the subtree
    walk "$1" -On | grep -c "^$OID\\." || true
}
serves() { # community: all four groups answer
    local out
    out=$(walk "$1" -On)
    for g in 3 4 5 6; do
        grep -q "^$OID\\.$g\\." <<<"$out" || return 1
    done
}

# ---- without the drop-in: stock snmpd.conf only, plus a probe community
# that sees everything, to know the agent is registered when public is
# refused.
mv -- "$DROPIN" "$work/dropin.conf"
printf 'rocommunity probe 127.0.0.1\n' >"$work/probe.conf"
start_snmpd "$work/probe.conf"
start_agent
wait_until 60 serves probe ||
    die "agent not serving through snmpd: $(cat "$work/agent.out"; tail -n 20 "$work/snmpd.log")"
refused=$(walk public)
[ "$(rows public)" -eq 0 ] || die "public walks the subtree without the drop-in: $refused"
grep -q 'No more variables left in this MIB View' <<<"$refused" ||
    die "unexpected answer to public without the drop-in: $refused"
say "without the drop-in: \"$refused\""
stop_agent
stop_snmpd

# ---- with the packaged drop-in: Debian's stock configuration only.
mv -- "$work/dropin.conf" "$DROPIN"
start_snmpd ""
start_agent
wait_until 60 serves public ||
    die "public walk with the drop-in: $(walk public | tail -n 5; cat "$work/agent.out")"
say "with the drop-in: $(rows public) rows for community public"
if [ -n "$base_mibs" ]; then
    named=$(walk public -M "+$base_mibs" -m CORVANTIS-SNMP-MIB | head -n 1)
    [[ $named == CORVANTIS-SNMP-MIB::* ]] || die "the installed MIB does not name the walk: $named"
    say "the installed MIB names the walk: $named"
else
    say "MIB names not checked: no SMIv2 base modules (tests/mib/base_modules.sh)"
fi
[ -s "$KX_LOG" ] || die "no agent log at $KX_LOG"

# ---- the development package: <smgr.h> through pkg-config's flags only.
sed 's|#include "smgr/smgr.h"|#include <smgr.h>|' -- "$src/tests/smgr/smgr_c_caller.c" >"$work/caller.c"
grep -q '#include <smgr.h>' "$work/caller.c" || die "caller source does not include smgr.h"
# shellcheck disable=SC2046
cc -std=c11 -Wall -Werror -o "$work/caller" "$work/caller.c" $(pkg-config --cflags --libs smgr) ||
    die "C caller does not build with pkg-config --cflags --libs smgr"
libs=$(ldd "$work/caller")
grep -q 'libsmgr\.so\.1 => /' <<<"$libs" || die "caller not linked to the installed libsmgr.so.1: $libs"
SMGR_PG_DIR=$work/pgsmgr "$src/tests/smgr/smgr_ns.sh" --monitor "$testmon" 2:d2d-large:1048576 -- \
    "$work/caller" || die "C caller failed"

# ---- removal and purge
stop_agent
stop_snmpd
for p in "${packages[@]}"; do
    dpkg -L "$p"
done | sort -u >"$work/dpkg-L"
dpkg -r "${packages[@]}" >"$work/dpkg-remove.log" 2>&1 ||
    { cat "$work/dpkg-remove.log" >&2; die "dpkg -r failed"; }
[ -s "$KX_LOG" ] || die "removal touched the appliance's log $KX_LOG"
dpkg -P "${packages[@]}" >"$work/dpkg-purge.log" 2>&1 ||
    { cat "$work/dpkg-purge.log" >&2; die "dpkg -P failed"; }
[ -s "$KX_LOG" ] || die "purge touched the appliance's log $KX_LOG"
left=()
while IFS= read -r p; do
    { [ -e "$p" ] || [ -L "$p" ]; } || continue
    grep -qxF -- "$p" "$preexisting" || left+=("$p")
done < <(sort -u "$work/dpkg-L" "$listed" | grep -vx '/\.\?')
# What the running agent made: net-snmp's state for it.
state=/var/lib/snmp/corvantis-snmp.conf
if [ -e "$state" ]; then left+=("$state"); fi
[ "${#left[@]}" -eq 0 ] || die "left after purge: ${left[*]}"
say "purged: no packaged file left"
say "ok"
