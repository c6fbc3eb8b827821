#!/usr/bin/env bash
# build_debs.sh SOURCE_DIR OUT_DIR
#
# Builds the Debian packages (dpkg-buildpackage -b -uc -us) from a copy of
# SOURCE_DIR in a temporary directory, so the source tree gets no build
# files, and leaves the .deb files in OUT_DIR (emptied first).  The copy
# holds what git would commit now: tracked and untracked files, not the
# ignored ones (build trees).  Prints how long the build took.
set -euo pipefail

prog=build_debs.sh
die() {
    printf '%s: %s\n' "$prog" "$*" >&2
    exit 1
}

[ "$#" -eq 2 ] || die "usage: $prog SOURCE_DIR OUT_DIR"
src=$(realpath -- "$1")
out=$(realpath -m -- "$2")
[ -f "$src/debian/control" ] || die "no debian/control in $src"

work=$(mktemp -d "${TMPDIR:-/tmp}/corvantis-debs.XXXXXX")
trap 'rm -rf -- "$work"' EXIT
mkdir -- "$work/src"
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    # Files deleted in the work tree but still tracked are skipped.
    (cd "$src" && git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
        tar --null -T - -cf -) | tar -C "$work/src" -xf -
else
    tar -C "$src" --exclude='./build*' --exclude=__pycache__ -cf - . | tar -C "$work/src" -xf -
fi

start=$SECONDS
if ! (cd "$work/src" && DEB_BUILD_OPTIONS="parallel=2 ${DEB_BUILD_OPTIONS:-}" \
    dpkg-buildpackage -b -uc -us) >"$work/build.log" 2>&1; then
    tail -n 60 -- "$work/build.log" >&2
    die "dpkg-buildpackage failed"
fi
elapsed=$((SECONDS - start))

rm -rf -- "$out"
mkdir -p -- "$out"
cp -- "$work"/*.deb "$out"/
cp -- "$work/build.log" "$out/dpkg-buildpackage.log"
printf '%s: built in %d s:\n' "$prog" "$elapsed"
(cd "$out" && ls -- *.deb)
