#!/usr/bin/env bash
# Builds and tests everything, as root, from a clean clone on Debian 12:
#   1. installs missing packages (scripts/install-deps.sh);
#   2. build-asan: AddressSanitizer + UndefinedBehaviorSanitizer, all tests
#      but the packaging ones (label "install");
#   3. build-tsan: ThreadSanitizer, the tests labelled "threaded";
#   4. build: the normal build, all tests, the packaging ones included: the
#      Debian packages are built (a second full build of the agent, about
#      4 minutes here), checked with lintian and installed in a private
#      namespace (tests/install).
# The normal run goes last so that its ctest summary is the last thing
# printed.  Stops at the first failing stage with a non-zero status.
# Builds use 2 jobs; tests run one at a time, since several suites share
# /tmp and machine-wide state (ports, processes) and the e2e suites time
# their answers.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
jobs=2

stage() {
    printf '\n===== %s\n' "$*"
}

if [ "$(id -u)" -ne 0 ]; then
    echo "test.sh: the end-to-end tests run the agent as root in mount namespaces: run as root" >&2
    exit 1
fi

stage "Dependencies"
bash scripts/install-deps.sh

stage "ASan+UBSan build (build-asan)"
cmake -S . -B build-asan -DCORVANTIS_SANITIZE=ON
cmake --build build-asan -j"$jobs"
stage "ASan+UBSan tests"
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
    ctest --test-dir build-asan --output-on-failure -LE install

stage "Disk report fuzzing (60 s)"
bash tests/disk/fuzz/run.sh 60 "$PWD/build-fuzz"

stage "ThreadSanitizer build (build-tsan)"
cmake -S . -B build-tsan -DCORVANTIS_TSAN=ON
cmake --build build-tsan -j"$jobs"
stage "ThreadSanitizer tests (label threaded)"
TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
    ctest --test-dir build-tsan --output-on-failure -L threaded --no-tests=ignore

stage "Build (build)"
cmake -S . -B build
cmake --build build -j"$jobs"
stage "Tests"
ctest --test-dir build --output-on-failure
