#!/usr/bin/env bash
# Builds and runs every test: the plain build, the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer and short libFuzzer runs, each with warnings as errors, and the
# package on a booted Debian 12 and 13 (tools/system-test.sh). Tests run in a private network namespace,
# so port 2947 never collides with anything else on the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh test

jobs=$(nproc)
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo -E)  # -E: the sanitizer options must reach the tests
in_private_net() {
  "${sudo[@]}" unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$@"
}
stage() { printf '\n=== %s (%ds so far)\n' "$1" "$SECONDS"; }

stage "plain build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVA_TESTS=ON -DKOVA_WERROR=ON
cmake --build build --parallel "$jobs"
stage "plain tests"
in_private_net ctest --test-dir build --output-on-failure --parallel "$jobs"

stage "sanitizer build"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKOVA_SANITIZE=address,undefined -DKOVA_TESTS=ON \
  -DKOVA_WERROR=ON
cmake --build build-asan --parallel "$jobs"
stage "sanitizer tests"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
in_private_net ctest --test-dir build-asan --output-on-failure --parallel "$jobs"

stage "fuzz build"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKOVA_WITH_QT=OFF -DKOVA_FUZZ=ON -DKOVA_SANITIZE=address,undefined -DKOVA_WERROR=ON
cmake --build build-fuzz --parallel "$jobs"
stage "fuzz runs"
ctest --test-dir build-fuzz --output-on-failure --parallel "$jobs" -L fuzz

stage "system test, Debian 12"
tools/system-test.sh bookworm
stage "system test, Debian 13"
tools/system-test.sh trixie

stage "all tests passed"
