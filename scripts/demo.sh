#!/usr/bin/env bash
# Runs the agent for a look at it, as root, on loopback only:
#   - a throwaway PostgreSQL loaded with the demo appliance database (.1.3),
#   - an SNMP master agent (snmpd) on a free 127.0.0.1 UDP port, AgentX socket
#     in a temp dir,
#   - a private network namespace holding only lo, with the simulated BMC of
#     tests/bmc (ipmi_sim) on 127.0.0.1:623 in it, for the sensor (.1.4) and
#     management (.1.6) groups,
#   - the agent as its AgentX subagent, in the foreground, in that network
#     namespace and in a private mount namespace (copy-on-write /etc, /usr
#     and /var, its own /tmp and /var/tmp) where its configuration points it
#     at the BMC and the sample disk monitor script of tests/e2e/fixtures/disk
#     feeds the disk group (.1.5); the host is left as it was,
# then prints a walk of the agent's subtree, named through the MIB
# (mib/CORVANTIS-SNMP-MIB.txt), and waits; Ctrl-C stops it all.
#
# scripts/demo.sh --check   walks once and exits 0 when the walk succeeded
#                           and every group answered, 1 otherwise (naming
#                           what is missing).
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$(pwd)
subtree=1.3.6.1.4.1.47391.1

check=
case "${1:-}" in
    "") ;;
    --check) check=1 ;;
    *)
        echo "usage: $0 [--check]" >&2
        exit 2
        ;;
esac

say() { printf 'demo: %s\n' "$*"; }
die() {
    printf 'demo: %s\n' "$*" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] || die "run as root (the agent requires it; the namespace needs it)"

bash scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j2 --target corvantis-snmp
binary=$root/build/corvantis-snmp

work=$(mktemp -d /tmp/corvantis-demo-XXXXXX)
chmod 711 "$work" # the postgres user must reach its socket dir below
agent_pid=
snmpd_pid=
holder_pid=
netns_id=
bmc_dir=$work/bmc

stop_pid() {
    # stop_pid PID NAME: SIGTERM, up to 10 s, then SIGKILL.
    local pid=$1 i
    kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid" 2>/dev/null || true
    for i in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        say "$2 did not stop on SIGTERM, killing it"
        kill -KILL "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || true
}

in_netns() {
    # in_netns PID: true while PID lives in the demo's network namespace.
    [ -n "$netns_id" ] && [ "$(readlink "/proc/$1/ns/net" 2>/dev/null)" = "$netns_id" ]
}

cleanup() {
    trap - EXIT INT TERM
    set +e
    # The subagent goes before its master and the BMC it reads.
    [ -n "$agent_pid" ] && stop_pid "$agent_pid" agent
    tests/rig/bmc_stop.sh "$bmc_dir" >/dev/null 2>&1
    [ -n "$holder_pid" ] && stop_pid "$holder_pid" "network namespace holder"
    # Whatever is still in the private network namespace was started by the
    # demo (an ipmi_sim whose start was interrupted, a command of the agent).
    local p
    if [ -n "$netns_id" ]; then
        for p in /proc/[0-9]*; do
            p=${p#/proc/}
            in_netns "$p" && kill -KILL "$p" 2>/dev/null
        done
    fi
    [ -n "$snmpd_pid" ] && stop_pid "$snmpd_pid" snmpd
    tests/rig/pg_stop.sh "$work/pg" >/dev/null 2>&1
    rm -rf -- "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# --- database
tests/rig/pg_start.sh "$work/pg" kxext/schema.sql kxext/demo.sql
# pg.env holds shell assignments: read the one value, do not run the file.
conninfo=$(sed -n "s/^KXDB_CONNINFO='\(.*\)'\$/\1/p" "$work/pg/pg.env")
[ -n "$conninfo" ] || die "no KXDB_CONNINFO in $work/pg/pg.env"

# --- SNMP master
port=$(python3 -c 'import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')
sock=$work/agentx.sock
mkdir -p "$work/snmpd-persist" "$work/client/conf" "$work/client/persist"
cat >"$work/snmpd.conf" <<EOF
agentaddress udp:127.0.0.1:$port
rocommunity public 127.0.0.1
master agentx
agentXSocket unix:$sock
dontLogTCPWrappersConnects yes
EOF

client() {
    MIBS= SNMPCONFPATH="$work/client/conf" SNMP_PERSISTENT_DIR="$work/client/persist" "$@"
}

MIBS= SNMP_PERSISTENT_DIR="$work/snmpd-persist" SNMPCONFPATH="$work" \
    snmpd -f -Lo -C -c "$work/snmpd.conf" -I -smux -p "$work/snmpd.pid" \
    >"$work/snmpd.out" 2>&1 </dev/null &
snmpd_pid=$!
ready=
for i in $(seq 50); do
    if client snmpget -v2c -c public -On -t 1 -r 0 "127.0.0.1:$port" .1.3.6.1.2.1.1.3.0 >/dev/null 2>&1; then
        ready=1
        break
    fi
    kill -0 "$snmpd_pid" 2>/dev/null || break
    sleep 0.2
done
[ -n "$ready" ] || die "snmpd does not answer on 127.0.0.1:$port: $(cat "$work/snmpd.out")"
say "snmpd master on udp 127.0.0.1:$port, AgentX unix:$sock"

# --- private network namespace and the simulated BMC
# ipmiutil (the management group's FRU date) always uses UDP 623, which
# only a namespace of our own offers without touching the host's ports.  A
# sleeping holder keeps the namespace; the others join it with nsenter.
unshare --net -- sh -c 'ip link set lo up || exit 1; echo up; exec sleep infinity' \
    >"$work/netns.out" 2>&1 </dev/null &
holder_pid=$!
for i in $(seq 100); do
    grep -qx up "$work/netns.out" 2>/dev/null && break
    kill -0 "$holder_pid" 2>/dev/null || break
    sleep 0.1
done
grep -qx up "$work/netns.out" 2>/dev/null || die "network namespace not set up: $(cat "$work/netns.out")"
netns_id=$(readlink "/proc/$holder_pid/ns/net")
[ "$netns_id" != "$(readlink /proc/$$/ns/net)" ] || die "unshare --net left the holder in the host's namespace"
netns=/proc/$holder_pid/ns/net

nsenter --net="$netns" -- tests/rig/bmc_start.sh "$bmc_dir" 127.0.0.1:623
# bmc.env holds plain NAME=value lines: read each value, do not run the file.
bmc_value() {
    local v
    v=$(sed -n "s/^$1=//p" -- "$bmc_dir/bmc.env" | head -n 1)
    [ -n "$v" ] || die "no $1 in $bmc_dir/bmc.env"
    printf '%s\n' "$v"
}

# --- the agent's files, laid in its namespace by the set-up below
files=$work/files
mkdir -p "$files"
bmc_host=$(bmc_value BMC_HOST)
bmc_user=$(bmc_value BMC_USER)
bmc_password=$(bmc_value BMC_PASSWORD)
bmc_workaround=$(bmc_value BMC_WORKAROUND)
{
    echo "# The simulated BMC, in the agent's network namespace."
    printf 'IpmiHost = %s\n' "$bmc_host"
    printf 'IpmiUser = %s\n' "$bmc_user"
    printf 'IpmiPassword = %s\n' "$bmc_password"
    # ipmi_sim accepts FreeIPMI's session only with this workaround.
    printf 'IpmiWorkaround = %s\n' "$bmc_workaround"
} >"$files/corvantis-snmp.conf"
echo "DEMO-RACK-01 / U07" >"$files/corvantis-asset"
cp -- tests/e2e/fixtures/disk/disk_monitoring.py "$files/disk_monitoring.py"

# --- the agent, in its own mount namespace and the BMC's network namespace
ns=$work/ns
for d in etc usr var; do
    mkdir -p "$ns/$d.upper" "$ns/$d.work"
done
mkdir -p "$ns/vartmp" "$ns/tmp" "$work/agent-conf" "$work/agent-persist"
chmod 1777 "$ns/vartmp" "$ns/tmp"
binary_dir=$(dirname "$(realpath -- "$binary")")
# Arguments, not text pasted into the script: $1 the namespace dir, $2 the
# staged files, $3 and $4 host dirs that must stay reachable behind the
# private /tmp and /var/tmp (the demo's own dir with its sockets, the
# binary's dir), then the command.
namespace_setup='set -e
ns=$1 files=$2
for d in etc usr var; do
    mount -t overlay overlay -o "lowerdir=/$d,upperdir=$ns/$d.upper,workdir=$ns/$d.work" "/$d"
done
mkdir -p /usr/kx/bin /usr/kx/logs.dir /usr/kx/schema/snmp
cp "$files/corvantis-snmp.conf" /usr/kx/schema/snmp/corvantis-snmp.conf
chmod 600 /usr/kx/schema/snmp/corvantis-snmp.conf
cp "$files/corvantis-asset" /etc/corvantis-asset
chmod 644 /etc/corvantis-asset
cp "$files/disk_monitoring.py" /usr/kx/bin/disk_monitoring.py
chmod 755 /usr/kx/bin/disk_monitoring.py
for t in tmp vartmp; do
    case $t in tmp) dir=/tmp ;; *) dir=/var/tmp ;; esac
    for keep in "$3" "$4"; do
        case $keep in
        "$dir"/*)
            mkdir -p "$ns/$t/${keep#"$dir"/}"
            mount --bind "$keep" "$ns/$t/${keep#"$dir"/}"
            ;;
        esac
    done
    mount --rbind "$ns/$t" "$dir"
done
shift 4
exec "$@"'
# MIBS= : OIDs are served by number; without it net-snmp reports every MIB
# module that Debian does not ship.
KXDB_CONNINFO=$conninfo MIBS= SNMPCONFPATH="$work/agent-conf" SNMP_PERSISTENT_DIR="$work/agent-persist" \
    nsenter --net="$netns" -- \
    unshare --mount --propagation private sh -c "$namespace_setup" sh "$ns" "$files" "$work" "$binary_dir" \
    "$binary" -f -x "unix:$sock" </dev/null &
agent_pid=$!
log=$ns/usr.upper/kx/logs.dir/corvantis-snmp.log

connected() {
    # The master's end of an accepted connection names the socket path; its
    # peer inode is the client's end, which must belong to the agent.  Both
    # ends live in the connecting agent's network namespace, so the host's
    # ss lists neither: ask inside.
    local out peer
    out=$(nsenter --net="$netns" -- ss -H -xpn 2>/dev/null) || return 1
    for peer in $(awk -v p="$sock" '$1 == "u_str" && $2 == "ESTAB" && $5 == p { print $8 }' <<<"$out"); do
        awk -v i="$peer" '$1 == "u_str" && $6 == i' <<<"$out" | grep -q "pid=$agent_pid," && return 0
    done
    return 1
}

# Start-up runs every group's discovery first (BMC, commands, disk script).
up=
for i in $(seq 600); do
    kill -0 "$agent_pid" 2>/dev/null || break
    if connected; then
        up=1
        break
    fi
    sleep 0.1
done
if [ -z "$up" ]; then
    say "the agent did not connect to the master"
    [ -f "$log" ] && cat -- "$log"
    exit 1
fi
say "agent pid $agent_pid connected; its log: $log"

# One object per group; registration reaches the master after the connect.
anchors=(
    ".$subtree.3.10.1.0"
    ".$subtree.4.10.1.0"
    ".$subtree.5.10.1.0"
    ".$subtree.6.18.0"
)
for i in $(seq 60); do
    if client snmpget -v2c -c public -On -t 1 -r 0 "127.0.0.1:$port" "${anchors[@]}" >"$work/anchors.out" 2>&1 &&
        ! grep -q 'No Such' "$work/anchors.out"; then
        break
    fi
    sleep 0.2
done

# Names from the MIB.  -m names the module alone instead of adding it (+) to
# net-snmp's default list, whose standard modules Debian's main archive does
# not ship; the three it imports come from the base modules directory.
mib=CORVANTIS-SNMP-MIB
mib_dirs=$(bash tests/mib/base_modules.sh):$root/mib
walk_ok=
say "snmpwalk -v2c -c public -m $mib -M +$mib_dirs 127.0.0.1:$port $subtree"
if client snmpwalk -v2c -c public -m "$mib" -M "+$mib_dirs" -t 5 -r 1 "127.0.0.1:$port" "$subtree" \
    >"$work/walk.out" 2>&1 && ! grep -q '^Timeout' "$work/walk.out"; then
    walk_ok=1
fi
cat -- "$work/walk.out"

walked() {
    # walked OBJECT.INSTANCE: its value text in the walk (after "TYPE: "), if any.
    awk -v o="$mib::$1" '$1 == o && $2 == "=" { sub(/^[^=]*= [^:]*: ?/, ""); print; exit }' "$work/walk.out"
}
present() {
    awk -v o="$mib::$1" '$1 == o && $2 == "=" { found = 1; exit } END { exit !found }' "$work/walk.out"
}
is_count() { [[ "$1" =~ ^[0-9]+$ ]]; }

missing=()
[ -n "$walk_ok" ] || missing+=("the walk itself failed")
connected || missing+=("the agent is no longer connected to the master")
grep -q "^$mib::" "$work/walk.out" || missing+=("names: no $mib name in the walk (the MIB did not load)")
present backupProbeCount.0 ||
    missing+=("backup appliance group (.1.3): no backupProbeCount.0")
sensors=0
for table in coolingDevice temperatureProbe voltageProbe eventLog; do
    v=$(walked "${table}Count.0")
    if is_count "$v"; then
        [ "$table" = eventLog ] || sensors=$((sensors + v))
    else
        missing+=("sensor group (.1.4): no count ${table}Count.0")
    fi
done
[ "$sensors" -gt 0 ] || missing+=("sensor group (.1.4): no fan, temperature or voltage sensor")
v=$(walked physdiskProbeCount.0)
is_count "$v" && [ "$v" -gt 0 ] || missing+=("disk group (.1.5): physdiskProbeCount.0 is '${v}', not above 0")
present mgtBoardMfgDate.0 ||
    missing+=("management group (.1.6): no mgtBoardMfgDate.0, not the full table of 18 objects")

if [ "${#missing[@]}" -eq 0 ]; then
    say "all four groups answered: .1.3 appliance, .1.4 $sensors sensors, .1.5 $(walked physdiskProbeCount.0) disks, .1.6 18 objects"
else
    for m in "${missing[@]}"; do
        say "missing: $m"
    done
    [ -f "$log" ] && say "the agent's log: $log"
fi

if [ -n "$check" ]; then
    if [ "${#missing[@]}" -eq 0 ]; then
        say "check passed"
        exit 0
    fi
    say "check failed"
    exit 1
fi

say "running; Ctrl-C stops the agent, the BMC, snmpd and the database"
status=0
wait "$agent_pid" || status=$?
agent_pid=
say "the agent exited with status $status"
exit "$status"
