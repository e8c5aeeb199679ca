#!/usr/bin/env bash
# Builds and runs every test: the plain build, the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, and short libFuzzer runs. Tests run in a private network namespace,
# so port 2947 never collides with anything else on the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
in_private_net() {
  $sudo unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$@"
}

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build
in_private_net ctest --test-dir build --output-on-failure -j2

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKOVA_SANITIZE=address,undefined
cmake --build build-asan
ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
  in_private_net ctest --test-dir build-asan --output-on-failure -j2

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKOVA_WITH_QT=OFF -DKOVA_FUZZ=ON -DKOVA_SANITIZE=address,undefined
cmake --build build-fuzz
ctest --test-dir build-fuzz --output-on-failure -L fuzz
