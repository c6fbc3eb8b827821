#!/usr/bin/env bash
# sensor_bench.sh [BUILD_DIR [ENTRIES [RUNS]]]
#
# In-process costs of the sensor group (bench/sensor_bench.cpp) against the
# simulated BMC of tests/bmc on a free loopback port, its SEL filled up to
# ENTRIES entries (default 200; its 3 plus copies of the first, added over
# IPMI).  Needs the sensor_bench target built in BUILD_DIR (default build),
# ipmi_sim and FreeIPMI's tools.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -- "${1:-$root/build}")
entries=${2:-200}
runs=${3:-20}
bin=
for candidate in "$build/tests/sensor/sensor_bench" "$build/sensor/sensor_bench"; do
    [ -x "$candidate" ] && bin=$candidate && break
done
[ -n "$bin" ] || {
    echo "sensor_bench.sh: sensor_bench not built in $build" >&2
    exit 1
}

work=$(mktemp -d /tmp/sensor-bench.XXXXXX)
cleanup() {
    "$root/tests/rig/bmc_stop.sh" "$work/bmc" >/dev/null 2>&1 || true
    rm -rf -- "$work"
}
trap cleanup EXIT
"$root/tests/rig/bmc_start.sh" "$work/bmc" >/dev/null
host=$(sed -n 's/^BMC_HOST=//p' "$work/bmc/bmc.env")

# Add SEL Entry (netfn 0x0a, cmd 0x44): CPU Temp upper non-critical going high.
for _ in $(seq 4 "$entries"); do
    echo "0x00 0x0a 0x44 0x00 0x00 0x02 0x00 0x00 0x00 0x00 0x20 0x00 0x04 0x01 0x01 0x01 0x57 0x56 0x55"
done >"$work/sel.cmds"
if [ -s "$work/sel.cmds" ]; then
    ipmi-raw -h "$host" -u admin -p password -W opensesspriv --file "$work/sel.cmds" >/dev/null
fi

echo "sensor_bench: $(nproc) CPUs, ipmi_sim on $host over IPMI 2.0 LAN (loopback)"
"$bin" "$host" admin password opensesspriv "$runs"
