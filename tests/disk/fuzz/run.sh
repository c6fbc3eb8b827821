#!/usr/bin/env bash
# Builds the disk report fuzz target with clang and runs it for a bounded
# time (default 60 s) from the seed corpus.  Exits non-zero on a crash.
#   tests/disk/fuzz/run.sh [seconds] [build dir]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
seconds="${1:-60}"
build="${2:-$here/../../../build-fuzz}"

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j2

# New inputs go to a scratch corpus; the seeds in the tree stay as they are.
work="$(mktemp -d /tmp/disk-fuzz.XXXXXX)"
trap 'rm -rf "$work"' EXIT
cd "$work"
"$build/disk_report_fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/" "$work" "$here/corpus"
