#!/usr/bin/env bash
# Runs the agent for a look at it, as root, on loopback only:
#   - a throwaway PostgreSQL loaded with the demo appliance database,
#   - an SNMP master agent (snmpd) on a free 127.0.0.1 UDP port, AgentX socket
#     in a temp dir,
#   - the agent as its AgentX subagent, in the foreground, inside a private
#     mount namespace (copy-on-write /etc, /usr and /var) so the host is
#     left as it was,
# then prints a walk of the agent's subtree and waits; Ctrl-C stops it all.
#
# scripts/demo.sh --check   walks once and exits 0 when the agent is connected
#                           and the walk succeeded, 1 otherwise.
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

cleanup() {
    trap - EXIT INT TERM
    set +e
    # The subagent goes before its master.
    [ -n "$agent_pid" ] && stop_pid "$agent_pid" agent
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

# --- the agent, in its own mount namespace
ns=$work/ns
for d in etc usr var; do
    mkdir -p "$ns/$d.upper" "$ns/$d.work"
done
mkdir -p "$ns/vartmp" "$work/agent-conf" "$work/agent-persist"
chmod 1777 "$ns/vartmp"
# Arguments, not text pasted into the script: $1 is the namespace dir.
namespace_setup='set -e
for d in etc usr var; do
    mount -t overlay overlay -o "lowerdir=/$d,upperdir=$1/$d.upper,workdir=$1/$d.work" "/$d"
done
mount --bind "$1/vartmp" /var/tmp
mkdir -p /usr/kx/bin /usr/kx/logs.dir /usr/kx/schema/snmp
shift
exec "$@"'
# MIBS= : OIDs are served by number; without it net-snmp reports every MIB
# module that Debian does not ship.
KXDB_CONNINFO=$conninfo MIBS= SNMPCONFPATH="$work/agent-conf" SNMP_PERSISTENT_DIR="$work/agent-persist" \
    unshare --mount --propagation private sh -c "$namespace_setup" sh "$ns" \
    "$binary" -f -x "unix:$sock" </dev/null &
agent_pid=$!
log=$ns/usr.upper/kx/logs.dir/corvantis-snmp.log

connected() {
    # The master's end of an accepted connection names the socket path; its
    # peer inode is the client's end, which must belong to the agent.
    local peer
    for peer in $(ss -H -xpn | awk -v p="$sock" '$1 == "u_str" && $2 == "ESTAB" && $5 == p { print $8 }'); do
        ss -H -xpn | awk -v i="$peer" '$1 == "u_str" && $6 == i' | grep -q "pid=$agent_pid," && return 0
    done
    return 1
}

up=
for i in $(seq 100); do
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

walk_ok=
say "snmpwalk -v2c -c public 127.0.0.1:$port $subtree"
if client snmpwalk -v2c -c public -On -t 5 -r 1 "127.0.0.1:$port" "$subtree" >"$work/walk.out" 2>&1 &&
    ! grep -q '^Timeout' "$work/walk.out"; then
    walk_ok=1
fi
cat -- "$work/walk.out"

if [ -n "$check" ]; then
    if [ -n "$walk_ok" ] && connected; then
        say "check passed"
        exit 0
    fi
    say "check failed"
    exit 1
fi

[ -n "$walk_ok" ] || say "the walk failed"
say "running; Ctrl-C stops the agent, snmpd and the database"
status=0
wait "$agent_pid" || status=$?
agent_pid=
say "the agent exited with status $status"
exit "$status"
