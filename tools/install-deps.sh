#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need, where missing.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config             # the build
  qt6-base-dev                                 # Qt: widgets, test, the offscreen platform
  fonts-dejavu-core                            # a face for the window when drawn offscreen
  libgtest-dev libgmock-dev                    # unit tests
  clang libclang-rt-14-dev                     # the fuzz build: clang and its libFuzzer runtime
  iproute2 util-linux                          # tests run in a private network namespace
  xvfb xauth x11-utils                         # a virtual screen, to look at the window by hand
  dpkg-dev file                                # the Debian package: its dependencies from the binaries
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
