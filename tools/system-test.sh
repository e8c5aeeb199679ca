#!/usr/bin/env bash
# The package on a booted Debian with systemd: builds the Debian package of the committed tree
# with the release's own tools and libraries (on this host when it runs that release, else in a
# root file system of it), makes a root file system of that release with its own kernel, and
# boots it under qemu without KVM, with a login prompt on the serial console ttyS0, a receiver on
# a 16550 UART (ttyS1) and one on an emulated USB serial adapter (ttyUSB0). The receivers play
# logs of real receivers (tests/data/) from this host at 4800 baud, a burst a second.
# tools/system-test-guest.sh checks the package inside; its results come out over a virtio port,
# which the program never probes. Prints one line per check and exits non-zero if any fails.
# Runs as root (or through sudo); works in build-system/, where the root file systems are kept
# for the next run, keyed by what they are made of. Usage: tools/system-test.sh [bookworm|trixie]
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || exec sudo "$0" "$@"
# shellcheck source=/dev/null
host_suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
suite=${1:-$host_suite}
case $suite in
  bookworm | trixie) ;;
  *) echo "usage: $0 [bookworm|trixie]" >&2; exit 2 ;;
esac
tools/install-deps.sh system

say() { printf 'system-test %s: %s\n' "$suite" "$*"; }
stage() { say "-- $* (${SECONDS}s)"; }
top=$PWD/build-system
work=$top/run-$suite
rm -rf "$work"
mkdir -p "$work/deb" "$top/cache"

# Everything started here runs as a job, a process group of its own, ended with the test.
set -m
groups=()
cleanup() {
  for group in "${groups[@]}"; do kill -TERM -- "-$group" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM
background() { # LOG COMMAND...: runs COMMAND in a process group of its own; $! is its leader
  local log=$1
  shift
  "$@" > "$log" 2>&1 &
  groups+=($!)
}

# A root file system of the release with PACKAGES, made once: the cache file's name holds a hash
# of what it is made of. Prints its path.
mirror=http://deb.debian.org/debian
root_fs() { # NAME VARIANT FORMAT PACKAGES
  local key
  key=$(printf '%s\n' "$suite" "$mirror" "$@" | sha256sum | cut -c1-16)
  local path=$top/cache/$1-$suite-$key
  if [ ! -e "$path" ]; then
    rm -rf "$top/cache/$1-$suite-"* "$path.part"
    nice mmdebstrap --quiet --variant="$2" --format="$3" --include="$4" \
      --aptopt='Acquire::Retries "3"' "$suite" "$path.part" "$mirror" > "$work/$1.log" 2>&1 \
      || { tail -n 30 "$work/$1.log" >&2; return 1; }
    mv "$path.part" "$path"
  fi
  echo "$path"
}

# The package, built while the machine's root file system is made; a copy of the committed tree
# as the build's source, so build-deb/ and the working tree stay as they are.
build_package() {
  if [ "$suite" = "$host_suite" ]; then
    tools/build-package.sh "$work/deb"
    lintian --pedantic --fail-on error,warning "$work"/deb/*.changes
    return
  fi
  # The build dependencies of debian/control (dpkg-checkbuilddeps says so if this falls behind),
  # and lintian with appstreamcli, which checks the metainfo.
  local root
  root=$(root_fs build buildd directory debhelper,cmake,ninja-build,qt6-base-dev,lintian,appstream)
  git archive --format=tar HEAD > "$work/source.tar"
  # The build happens on a file system of its own that goes with the mount namespace.
  # shellcheck disable=SC2016  # the script below expands its variables itself
  unshare --mount --propagation private sh -euc '
    root=$1 work=$2
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs tmpfs "$root/tmp"
    mkdir "$root/tmp/src"
    tar -xf "$work/source.tar" -C "$root/tmp/src"
    chroot "$root" sh -euc "cd /tmp/src && dpkg-checkbuilddeps \
      && DEB_BUILD_OPTIONS=parallel=2 nice dpkg-buildpackage -us -uc -b \
      && lintian --pedantic --fail-on error,warning ../simple-kova_*.changes"
    cp "$root"/tmp/simple-kova*.deb "$root"/tmp/simple-kova*.changes \
      "$root"/tmp/simple-kova*.buildinfo "$work/deb/"
  ' sh "$root" "$work"
}
stage "building the package and the root file systems"
background "$work/package.log" build_package
package_build=$!

# The receivers' player, built for this host from the same tree.
if ! { cmake -S . -B "$top/replay" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKOVA_WITH_QT=OFF \
       -DKOVA_TESTS=OFF && nice cmake --build "$top/replay" --target simple-kova-replay; } \
     > "$work/replay-build.log" 2>&1; then
  tail -n 30 "$work/replay-build.log"
  say "FAIL: building simple-kova-replay"
  exit 1
fi

# Everything the machine needs besides the package: its runtime libraries (dpkg -i in the
# machine says so if this list falls behind the package's dependencies), systemd, udev, the
# kernel, and what the checks use: inotifywait (who opens a port), ip (a second address).
base=$(root_fs root apt tar systemd-sysv,udev,kmod,linux-image-amd64,libqt6widgets6,inotify-tools,iproute2) \
  || { say "FAIL: mmdebstrap"; exit 1; }
wait "$package_build" || { tail -n 40 "$work/package.log"; say "FAIL: the package build"; exit 1; }
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
deb=$work/deb/simple-kova_${version}_$(dpkg --print-architecture).deb
say "built $(basename "$deb") and checked it with lintian --pedantic: $(grep -c . "$work/package.log") lines of log"

stage "making the machine's disk"
root=$work/root
mkdir "$root"
tar -xf "$base" -C "$root"
mkdir "$root/root/system-test"
cp "$deb" "$root/root/system-test/simple-kova.deb"
cp tools/system-test-guest.sh "$root/root/system-test/guest.sh"
echo kova-test > "$root/etc/hostname"
cat > "$root/etc/systemd/system/kova-system-test.service" <<'EOF'
[Unit]
Description=Simple Kova system test
After=getty.target

[Service]
Type=simple
ExecStart=/root/system-test/guest.sh
StandardOutput=journal+console

[Install]
WantedBy=multi-user.target
EOF
ln -s /etc/systemd/system/kova-system-test.service \
  "$root/etc/systemd/system/multi-user.target.wants/kova-system-test.service"

# The receivers: simple-kova-replay on a pseudo-terminal each, which qemu passes to the
# machine's port. The logs lose their header comment; the positions a reply may carry are
# every one the log holds (degrees, as the reply gives them). The multi-constellation receiver
# sends stretches of a second and more at 4800 baud without a GPS or GNSS solution sentence, in
# which the scan's probe can miss it; on the UART, a probe that misses it is retried, whereas on
# the adapter, which the scan tries first, a miss would give the UART receiver the run.
for receiver in usb:garmin-gps15h-excerpt.nmea uart:ublox-multignss-2024-excerpt.nmea; do
  name=${receiver%%:*}
  grep -v '^#' "tests/data/${receiver#*:}" > "$work/$name.nmea"
  python3 - "$work/$name.nmea" > "$root/root/system-test/$name.positions" <<'EOF'
import sys
for line in open(sys.argv[1], encoding="ascii", errors="replace"):
    f = line.split(",")
    at = {"GGA": 2, "RMC": 3}.get(f[0][3:6]) if f[0][:3] in ("$GP", "$GN") else None
    if at is None or len(f) < at + 4 or not f[at] or not f[at + 2]:
        continue
    def degrees(text, hemisphere):
        whole, minutes = divmod(float(text), 100)
        return (whole + minutes / 60) * (-1 if hemisphere in "SW" else 1)
    print("%.6f %.6f" % (degrees(f[at], f[at + 1]), degrees(f[at + 2], f[at + 3])))
EOF
  background "$work/$name.device" "$top/replay/tools/simple-kova-replay" --loop "$work/$name.nmea"
  eval "${name}_player=\$!"
done
for name in usb uart; do
  for _ in $(seq 50); do [ -s "$work/$name.device" ] && break; sleep 0.1; done
done

kernel=$(find "$root/boot" -name 'vmlinuz-*' | head -n 1)
initrd=$(find "$root/boot" -name 'initrd.img-*' | head -n 1)
cp "$kernel" "$work/vmlinuz"
cp "$initrd" "$work/initrd.img"
mkfs.ext4 -q -F -L root -d "$root" "$work/disk.img" 3G > /dev/null
rm -rf "$root"

# A receiver falls silent: its player stops, and what it sent that the machine has not read is
# dropped. It talks again when the player goes on.
quiet() { # NAME
  local player=${1}_player
  kill -STOP "${!player}"
  python3 -c 'import os, sys, termios
termios.tcflush(os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY), termios.TCIFLUSH)' "$(head -n 1 "$work/$1.device")"
}
talk() { local player=${1}_player; kill -CONT "${!player}"; }
# The console is asked for a login again (an empty login name): DONE when a new prompt came.
login_again() {
  local before
  before=$(grep -c 'kova-test login:' "$work/console.log" || true)
  printf '\r' >&7
  for _ in $(seq 60); do
    [ "$(grep -c 'kova-test login:' "$work/console.log" || true)" -gt "$before" ] && { echo 'done'; return; }
    sleep 0.5
  done
  echo "no new login prompt on ttyS0 (see $work/console.log)"
}

# The console, the monitor (to unplug the USB receiver) and the results port, as pipes:
# NAME.in towards qemu, NAME.out from it.
stage "booting the machine"
for channel in console monitor results; do mkfifo "$work/$channel.in" "$work/$channel.out"; done
background "$work/qemu.log" timeout 900 qemu-system-x86_64 -accel tcg -cpu max -smp 2 -m 1024 \
  -nodefaults -no-reboot -display none -kernel "$work/vmlinuz" -initrd "$work/initrd.img" \
  -append "root=/dev/vda rw console=ttyS0,115200" \
  -drive "file=$work/disk.img,format=raw,if=virtio" \
  -chardev "pipe,id=console,path=$work/console" -serial chardev:console \
  -chardev "serial,id=uart,path=$(head -n 1 "$work/uart.device")" -serial chardev:uart \
  -device qemu-xhci \
  -chardev "serial,id=usb,path=$(head -n 1 "$work/usb.device")" \
  -device usb-serial,id=usbreceiver,chardev=usb \
  -device virtio-serial-pci \
  -chardev "pipe,id=results,path=$work/results" -device virtserialport,chardev=results,name=kova.results \
  -chardev "pipe,id=monitor,path=$work/monitor" -mon chardev=monitor,mode=readline
qemu=$!
exec 4<> "$work/results.out" 5<> "$work/results.in" 6<> "$work/monitor.in" 7<> "$work/console.in"
background "$work/console.log" cat "$work/console.out"
background "$work/monitor.log" cat "$work/monitor.out"

passed=0
failed=0
ended=false
partial=
while true; do
  if IFS= read -r -t 5 -u 4 line; then
    line=$partial$line
    partial=
  else
    # A line cut by the timeout goes on with the next read.
    partial+=$line
    kill -0 "$qemu" 2>/dev/null && continue
    break
  fi
  case $line in
    "ok "*) passed=$((passed + 1)); say "$line (${SECONDS}s)" ;;
    "FAIL "*) failed=$((failed + 1)); say "$line (${SECONDS}s)" ;;
    "info "*) say "${line#info }" ;;
    "host unplug") printf 'device_del usbreceiver\n' >&6; echo 'done' >&5 ;;
    "host replug") printf 'device_add usb-serial,id=usbreceiver,chardev=usb\n' >&6; echo 'done' >&5 ;;
    "host quiet "*) quiet "${line#host quiet }"; echo 'done' >&5 ;;
    "host talk "*) talk "${line#host talk }"; echo 'done' >&5 ;;
    "host login") login_again >&5 ;;
    end) ended=true ;;
  esac
done
wait "$qemu" || say "qemu ended with status $? (log: $work/qemu.log)"

if ! $ended; then
  failed=$((failed + 1)); say "FAIL the machine ended before every check ran (see $work/console.log)"
fi
stage "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
