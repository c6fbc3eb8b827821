#!/usr/bin/env bash
# Regenerates the exporter's "corvantis" module from generator.yml and
# mib/CORVANTIS-SNMP-MIB.txt with prometheus-snmp-generator (Debian package
# prometheus-snmp-exporter).
#
#   contrib/prometheus/generate.sh [OUTPUT]   default: snmp.yml beside this script
#
# The generator loads every module on its MIB path and counts a module that
# does not parse as an error, so its path holds only the three base modules
# (from tests/mib/base_modules.sh) and ours, and any parse error fails the run.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
output=$(realpath -m -- "${1:-$here/snmp.yml}")
base=$(bash "$source_dir/tests/mib/base_modules.sh")

work=$(mktemp -d "${TMPDIR:-/tmp}/corvantis-generator-XXXXXX")
trap 'rm -rf -- "$work"' EXIT
mkdir "$work/mibs"
for module in SNMPv2-SMI SNMPv2-TC SNMPv2-CONF; do
    ln -s -- "$base/$module.mib" "$work/mibs/$module.mib"
done
ln -s -- "$source_dir/mib/CORVANTIS-SNMP-MIB.txt" "$work/mibs/CORVANTIS-SNMP-MIB.txt"
# The generator reads generator.yml from its working directory.
cp -- "$here/generator.yml" "$work/generator.yml"
(cd "$work" && MIBDIRS="$work/mibs" prometheus-snmp-generator --fail-on-parse-errors \
    generate --output-path="$work/snmp.yml")
cp -- "$work/snmp.yml" "$output"
