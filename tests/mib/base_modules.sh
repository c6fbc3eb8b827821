#!/usr/bin/env bash
# Prints the directory that holds the SMIv2 base modules (SNMPv2-SMI,
# SNMPv2-TC, SNMPv2-CONF), which Debian's main archive does not ship.
# They come from the npm package net-snmp at a pinned version, installed
# once into a cache directory ($CORVANTIS_CACHE, default
# /var/cache/corvantis-test) and reused by the MIB tests and the
# Prometheus generator.  With --package, prints the package's own
# directory instead (the MIB tests load its parser).
set -euo pipefail

version=3.29.2
cache=${CORVANTIS_CACHE:-/var/cache/corvantis-test}
prefix=$cache/npm-net-snmp-$version
package=$prefix/node_modules/net-snmp

if [ ! -f "$package/lib/mibs/SNMPv2-CONF.mib" ]; then
    command -v npm >/dev/null || { echo "base_modules.sh: npm is missing (scripts/install-deps.sh)" >&2; exit 1; }
    mkdir -p "$cache"
    staging=$(mktemp -d "$cache/.npm-net-snmp-XXXXXX")
    trap 'rm -rf "$staging"' EXIT
    npm install --prefix "$staging" --no-save --no-package-lock --no-audit --no-fund \
        --loglevel=error "net-snmp@$version" >&2
    # Published whole, so a concurrent run never sees half an install; a
    # run that lost the race keeps the winner's copy.
    mv -T "$staging" "$prefix" 2>/dev/null || true
fi
[ -f "$package/lib/mibs/SNMPv2-CONF.mib" ] || { echo "base_modules.sh: no base modules in $package" >&2; exit 1; }

if [ "${1:-}" = --package ]; then
    echo "$package"
else
    echo "$package/lib/mibs"
fi
