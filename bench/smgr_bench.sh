#!/usr/bin/env bash
# smgr_bench.sh [BUILD_DIR] [SECONDS]
#
# Operations per second of the storage reservation manager's writer cycle
# (reserve/avail/confirm, and avail/confirm alone) for 1 and 8 processes on
# one device and 8 processes on 8 devices.  Starts a throwaway PostgreSQL
# with the rig, runs smgr_bench in private IPC and mount namespaces with the
# test device monitor, prints the figures.  Needs root and a build with the
# smgr targets (default BUILD_DIR: build).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -- "${1:-$root/build}")
seconds=${2:-5}
bin=$build/tests/smgr
for f in smgr_bench smgr_testmon; do
    [ -x "$bin/$f" ] || {
        echo "smgr_bench.sh: $bin/$f not built" >&2
        exit 1
    }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/smgr-bench.XXXXXX")
chmod 755 -- "$work" # the database server's user must reach it
cleanup() {
    "$root/tests/rig/pg_stop.sh" "$work/pg" >/dev/null 2>&1 || true
    rm -rf -- "$work"
}
trap cleanup EXIT

"$root/tests/rig/pg_start.sh" "$work/pg" "$root/kxext/schema.sql" \
    "$root/tests/smgr/devices.sql" >/dev/null

devices=()
for n in 1 2 3 4 5 6 7 8; do
    devices+=("$((10 + n)):d2d-b$n:8796093022208")
done
echo "smgr_bench: $(nproc) CPUs, $seconds s per figure"
SMGR_PG_DIR=$work/pg "$root/tests/smgr/smgr_ns.sh" --monitor "$bin/smgr_testmon" "${devices[@]}" -- \
    "$bin/smgr_bench" "$seconds"
