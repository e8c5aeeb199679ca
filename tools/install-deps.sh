#!/usr/bin/env bash
# Installs the Debian 12 or 13 packages a job needs, where missing. Usage: tools/install-deps.sh [JOB]
#   run      building and running the program (the default)
#   test     also the tests, the sanitizer and fuzz builds, and a virtual screen
#   package  also building and checking the Debian package
#   system   the package's needs and a Debian machine under emulation (tools/system-test.sh)
set -euo pipefail
job=${1:-run}
# clang's libFuzzer runtime is packaged with clang's version in its name.
# shellcheck source=/dev/null
case $(. /etc/os-release && echo "$VERSION_CODENAME") in
  bookworm) fuzz_runtime=libclang-rt-14-dev ;;
  *) fuzz_runtime=libclang-rt-19-dev ;;
esac
run=(
  cmake ninja-build g++ pkg-config             # the build
  qt6-base-dev                                 # Qt: widgets, the offscreen platform
  fonts-dejavu-core                            # a face for the window when drawn offscreen
)
test=(
  libgtest-dev libgmock-dev                    # unit tests
  clang "$fuzz_runtime"                        # the fuzz build: clang and its libFuzzer runtime
  locales                                      # the tests make de_DE.UTF-8 from its sources
  iproute2 util-linux                          # tests run in a private network namespace
  python3-nmea2                                # an NMEA reader of the sentence port not written here
  xvfb xauth x11-utils                         # a virtual screen, to look at the window by hand
)
package=(
  debhelper                                    # dpkg-buildpackage and the debian/ rules
  git                                          # the build's clone of the committed tree
  lintian appstream systemd                    # checks of the package, its metainfo and service
)
system=(
  mmdebstrap mount                             # the test machine's root file system
  e2fsprogs                                    # its disk image (mkfs.ext4 -d)
  qemu-system-x86                              # the machine, emulated without KVM
  python3                                      # the host side of its receivers
)
case $job in
  run) packages=("${run[@]}") ;;
  test) packages=("${run[@]}" "${test[@]}") ;;
  package) packages=("${run[@]}" "${package[@]}") ;;
  system) packages=("${run[@]}" "${package[@]}" "${system[@]}") ;;
  *) echo "usage: $0 [run|test|package|system]" >&2; exit 2 ;;
esac
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
