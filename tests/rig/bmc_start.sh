#!/usr/bin/env bash
# bmc_start.sh DIR [ADDR:PORT]
#
# Starts a simulated BMC (OpenIPMI's ipmi_sim) for tests, configured from
# tests/bmc/: firmware 1.23, user admin/password, LAN parameters, FRU,
# sensors and a few SEL entries.  It listens on ADDR:PORT (IPMI over UDP)
# and on ADDR and a free TCP port for its command console.  ADDR must be a
# loopback address (127.x.y.z); the default is 127.0.0.1 and a free port.
# Inside a private network namespace (unshare --net, lo up) 127.0.0.1:623
# works too, which is what the ipmiutil command needs.
#
# No daemon and no persistence: every start is the same clean state.  When
# the BMC answers, writes DIR/bmc.env for the tests (plain NAME=value):
#   BMC_HOST=ADDR:PORT  BMC_ADDR  BMC_PORT  BMC_CONSOLE=ADDR:PORT
#   BMC_USER  BMC_PASSWORD  BMC_WORKAROUND=opensesspriv  BMC_PID  BMC_DIR
# bmc_stop.sh DIR stops it and removes DIR.
set -euo pipefail

prog=bmc_start.sh
die() {
    printf '%s: %s\n' "$prog" "$*" >&2
    exit 1
}

[ "$#" -ge 1 ] && [ "$#" -le 2 ] || die "usage: $prog DIR [ADDR:PORT]"
[ -n "$1" ] || die "DIR must not be empty"

here=$(dirname "$(realpath -- "$0")")
fixture=$(realpath -- "$here/../bmc")

# DIR ends up in bmc.env and the console's program path in lan.conf, which
# ipmi_sim hands to a shell: both must be plain.
plain_path() {
    case "$1" in
        / | *[!A-Za-z0-9._/+@,-]*) return 1 ;;
    esac
}
dir=$(realpath -m -- "$1")
plain_path "$dir" || die "DIR must be a plain path of letters, digits and ._/+@,- (got '$dir')"
lanctl=$fixture/lan_config_program
plain_path "$lanctl" || die "the fixture path must be plain: $fixture"
for f in lan.conf.in bmc.emu fru.bin sel.txt; do
    [ -r "$fixture/$f" ] || die "missing fixture file $fixture/$f"
done
[ -x "$lanctl" ] || die "$lanctl is not executable"

valid_port() {
    case "$1" in '' | *[!0-9]* | 0*) return 1 ;; esac
    [ "$1" -le 65535 ]
}
addr=127.0.0.1
port=
if [ "$#" -eq 2 ]; then
    addr=${2%:*}
    port=${2##*:}
    [ "$addr" != "$2" ] || die "ADDR:PORT expected (got '$2')"
    valid_port "$port" || die "bad port '$port'"
fi
# Loopback only: never offer a BMC with a known password to the network.
if ! [[ "$addr" =~ ^127\.([0-9]{1,3})\.([0-9]{1,3})\.([0-9]{1,3})$ ]] ||
    [ "${BASH_REMATCH[1]}" -gt 255 ] || [ "${BASH_REMATCH[2]}" -gt 255 ] ||
    [ "${BASH_REMATCH[3]}" -gt 255 ]; then
    die "ADDR must be a loopback address 127.x.y.z (got '$addr')"
fi

for tool in ipmi_sim bmc-info ipmi-raw ss; do
    command -v "$tool" >/dev/null ||
        die "$tool not found (packages: openipmi, freeipmi-tools, iproute2)"
done

user=admin
password=password
workaround=opensesspriv

# A BMC left running in DIR is stopped first.
if [ -f "$dir/bmc.env" ]; then
    "$here/bmc_stop.sh" --keep "$dir" || die "could not stop the BMC already running in $dir"
fi

mkdir -p -- "$dir"
: >"$dir/.bmcrig" # marks DIR as a rig directory bmc_stop.sh may remove
rm -rf -- "$dir/state" "$dir/bmc.env"
mkdir -- "$dir/state"
cp -- "$fixture/bmc.emu" "$fixture/fru.bin" "$dir/"

udp_busy() { [ -n "$(ss -Hlun "sport = :$1" 2>/dev/null)" ]; }
tcp_busy() { [ -n "$(ss -Hltn "sport = :$1" 2>/dev/null)" ]; }
random_port() { echo $((20000 + (RANDOM * 32768 + RANDOM) % 40000)); }

bmc_opts() {
    printf '%s\n' -h "$addr:$port" -u "$user" -p "$password" -W "$workaround" \
        --session-timeout=2000 --retransmission-timeout=500
}

pid=
cleanup() {
    if [ -n "$pid" ]; then
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT

# ipmi_sim dies of SIGPIPE when a console client goes away mid-answer;
# an ignored signal stays ignored across exec.
trap '' PIPE

fixed_port=$port
started=
for attempt in 1 2 3 4 5; do
    if [ -z "$fixed_port" ]; then
        port=$(random_port)
        udp_busy "$port" && continue
    fi
    console_port=$(random_port)
    while tcp_busy "$console_port" || [ "$console_port" = "$port" ]; do
        console_port=$(random_port)
    done

    sed -e "s|@ADDR@|$addr|g" -e "s|@PORT@|$port|g" \
        -e "s|@CONSOLE_PORT@|$console_port|g" -e "s|@LANCTL@|$lanctl|g" \
        -- "$fixture/lan.conf.in" >"$dir/lan.conf"

    (cd -- "$dir" && exec ipmi_sim -c lan.conf -f bmc.emu -s state -n -p) \
        </dev/null >"$dir/ipmi_sim.log" 2>&1 &
    pid=$!

    # Ready when it answers Get Device ID over an authenticated session.
    mapfile -t opts < <(bmc_opts)
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        if bmc-info "${opts[@]}" --get-device-id >/dev/null 2>&1; then
            started=1
            break
        fi
        sleep 0.1
    done
    [ -n "$started" ] && break

    # Not answering: a port clash (errors then go to syslog) is worth a new
    # port when the caller left the choice to us.
    cleanup
    pid=
    if [ -n "$fixed_port" ]; then
        cat -- "$dir/ipmi_sim.log" >&2 || true
        die "ipmi_sim did not answer on $addr:$port"
    fi
done
[ -n "$started" ] || die "ipmi_sim did not start (no free port found?)"

# Set the SEL clock to the host's time, then add the SEL entries, in one
# session: the BMC stamps each entry with its clock.
cmds=$(mktemp "$dir/sel.cmds.XXXXXX")
now=$(date +%s)
printf '0x00 0x0a 0x49 0x%02x 0x%02x 0x%02x 0x%02x\n' \
    $((now & 255)) $(((now >> 8) & 255)) $(((now >> 16) & 255)) $(((now >> 24) & 255)) >"$cmds"
grep -v -e '^#' -e '^[[:space:]]*$' -- "$fixture/sel.txt" |
    while read -r line; do printf '0x00 0x0a 0x44 %s\n' "$line"; done >>"$cmds"
out=$(ipmi-raw "${opts[@]}" --file "$cmds" 2>&1) || die "setting up the SEL failed: $out"
rm -f -- "$cmds"
# Each answer is "rcvd: <cmd> <completion code> ...": all must be 00.
if printf '%s\n' "$out" | grep -v '^rcvd: [0-9A-Fa-f][0-9A-Fa-f] 00' | grep -q .; then
    die "setting up the SEL failed: $out"
fi

env_tmp=$(mktemp "$dir/bmc.env.XXXXXX")
cat >"$env_tmp" <<EOF
BMC_HOST=$addr:$port
BMC_ADDR=$addr
BMC_PORT=$port
BMC_CONSOLE=$addr:$console_port
BMC_USER=$user
BMC_PASSWORD=$password
BMC_WORKAROUND=$workaround
BMC_PID=$pid
BMC_DIR=$dir
EOF
chmod 644 -- "$env_tmp"
mv -f -- "$env_tmp" "$dir/bmc.env"
pid= # keep it running
printf '%s: ipmi_sim on %s:%s (console %s), pid %s\n' "$prog" "$addr" "$port" "$console_port" "$(sed -n 's/^BMC_PID=//p' "$dir/bmc.env")"
