#!/usr/bin/env bash
# disk_bench.sh [BUILD_DIR]
#
# Time of one disk discovery pass on a 48-disk report: in-process parsing,
# then discover_disks itself in a private mount namespace (a tmpfs on
# /var/tmp, an overlay on /usr with a disk_monitoring.py that prints the
# report).  Needs root and a build with the disk_bench target (default
# BUILD_DIR: build).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -- "${1:-$root/build}")
bin=
for candidate in "$build/tests/disk/disk_bench" "$build/disk/disk_bench"; do
    [ -x "$candidate" ] && bin=$candidate && break
done
[ -n "$bin" ] || {
    echo "disk_bench.sh: disk_bench not built in $build" >&2
    exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/disk-bench.XXXXXX")
trap 'rm -rf -- "$work"' EXIT
mkdir "$work/upper" "$work/work"

echo "disk_bench: $(nproc) CPUs"
unshare --mount --propagation private sh -c '
    set -e
    mount -t tmpfs tmpfs /var/tmp
    mount -t overlay overlay -o "lowerdir=/usr,upperdir=$1/upper,workdir=$1/work" /usr
    mkdir -p /usr/kx/bin
    printf "#!/bin/sh\nexec cat /var/tmp/bench_report\n" >/usr/kx/bin/disk_monitoring.py
    chmod 755 /usr/kx/bin/disk_monitoring.py
    exec "$2" --namespace
' sh "$work" "$bin"
