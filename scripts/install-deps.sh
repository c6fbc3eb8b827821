#!/usr/bin/env bash
# Installs the Debian 12 packages that the build, the tests and the demo need,
# and only those that are missing.
#
# snmpd, postgresql and prometheus-snmp-exporter start system services when
# installed; this project never uses them (tests and demo run their own
# servers on loopback), so services started by this installation are stopped
# and disabled again.
# Services of packages that were already installed are left alone.
set -euo pipefail

packages=(
    cmake g++ clang pkg-config
    libsnmp-dev snmpd snmp smitools
    # the alarm suite's trap receiver
    snmptrapd
    postgresql libpq-dev
    libfreeipmi-dev freeipmi-tools openipmi ipmiutil
    sysstat dmidecode
    libgtest-dev googletest
    util-linux iproute2 procps python3
    # libFuzzer's runtime is only recommended by clang
    libclang-rt-14-dev
    # fixed clocks for golden walks; an independent SNMP client
    faketime python3-pysnmp4
    # Debian packaging, its checks and the install test; man page rendering;
    # sd_notify readiness
    debhelper lintian mandoc libsystemd-dev
    # the MIB tests' parsers: pysmi, and node for npm net-snmp
    python3-pysmi nodejs
    # the Prometheus module's generator and the exporter that scrapes with it
    prometheus-snmp-exporter
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$p")
done
# Some node builds carry their own npm (and conflict with Debian's).
command -v npm >/dev/null || missing+=(npm)

# The SMIv2 base modules (SNMPv2-SMI, -TC, -CONF) for the MIB tests and the
# Prometheus generator: a pinned npm net-snmp in a cache directory.
base_modules() {
    bash "$(dirname "${BASH_SOURCE[0]}")/../tests/mib/base_modules.sh" >/dev/null
}

if [ "${#missing[@]}" -eq 0 ]; then
    echo "install-deps.sh: all packages present"
    base_modules
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps.sh: missing packages, run as root to install: ${missing[*]}" >&2
    exit 1
fi

echo "install-deps.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"

stop_service() {
    if [ -d /run/systemd/system ] && command -v systemctl >/dev/null; then
        systemctl disable --now "$1" >/dev/null 2>&1 || true
    else
        service "$1" stop >/dev/null 2>&1 || true
        update-rc.d "$1" disable >/dev/null 2>&1 || true
    fi
}
for p in "${missing[@]}"; do
    case "$p" in
        snmpd | postgresql | prometheus-snmp-exporter) stop_service "$p" ;;
        # socket-activated: the socket unit would start it again
        snmptrapd) stop_service snmptrapd.socket; stop_service snmptrapd ;;
    esac
done

base_modules
