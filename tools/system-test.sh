#!/usr/bin/env bash
# The package on a booted Debian 12 with systemd: builds the Debian package of the committed tree,
# makes a root file system with it installed (mmdebstrap, Debian's own kernel), and boots it under
# qemu without KVM, with a login prompt on the serial console ttyS0, a receiver on a 16550 UART
# (ttyS1) and one on an emulated USB serial adapter (ttyUSB0), both fed from this host at 4800
# baud. tools/system-test-guest.sh checks the service
# inside; its results come out over a virtio port, which the program never probes. Prints one
# line per check and exits non-zero if any fails. Runs as root (or through sudo); works in
# build-system/, where the root file system without the package is kept for the next run, keyed
# by what it is made of. Usage: tools/system-test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || exec sudo "$0" "$@"
tools/install-deps.sh system

say() { printf 'system-test: %s\n' "$*"; }
stage() { say "-- $* (${SECONDS}s)"; }
top=$PWD/build-system
work=$top/run
rm -rf "$work"
mkdir -p "$work" "$top/cache"

# The package, built while the root file system is made.
stage "building the package and the root file system"
tools/build-package.sh > "$work/package.log" 2>&1 &
package_build=$!

# Everything the machine needs besides the package: its runtime libraries (dpkg -i below says
# so if this list falls behind the package's dependencies), systemd, udev and the kernel.
suite=bookworm
mirror=http://deb.debian.org/debian
includes=systemd-sysv,udev,kmod,linux-image-amd64,libqt6widgets6
key=$(printf '%s\n' "$suite" "$mirror" "$includes" | sha256sum | cut -c1-16)
base=$top/cache/root-$key.tar
if [ ! -f "$base" ]; then
  rm -rf "$top"/cache/root-*
  nice mmdebstrap --quiet --format=tar --variant=apt --include="$includes" \
    --aptopt='Acquire::Retries "3"' "$suite" "$base.part" "$mirror" > "$work/mmdebstrap.log" 2>&1 \
    || { tail -n 30 "$work/mmdebstrap.log"; say "FAIL: mmdebstrap"; exit 1; }
  mv "$base.part" "$base"
fi
wait "$package_build" || { tail -n 30 "$work/package.log"; say "FAIL: the package build"; exit 1; }
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
deb=build-deb/simple-kova_${version}_$(dpkg --print-architecture).deb

stage "installing the package into the root file system"
root=$work/root
mkdir "$root"
tar -xf "$base" -C "$root"
mkdir "$root/root/system-test"
cp "$deb" "$root/root/system-test/simple-kova.deb"
cp tools/system-test-guest.sh "$root/root/system-test/guest.sh"
chroot "$root" dpkg -i /root/system-test/simple-kova.deb > "$work/dpkg.log" 2>&1 \
  || { cat "$work/dpkg.log"; say "FAIL: the package does not install (add its dependencies to includes)"; exit 1; }
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
kernel=$(find "$root/boot" -name 'vmlinuz-*' | head -n 1)
initrd=$(find "$root/boot" -name 'initrd.img-*' | head -n 1)
cp "$kernel" "$work/vmlinuz"
cp "$initrd" "$work/initrd.img"
mkfs.ext4 -q -F -L root -d "$root" "$work/disk.img" 2G
rm -rf "$root"

# The receivers: a pseudo-terminal each, which qemu passes to the machine's port, fed at 4800
# baud with a sentence every half second, as a receiver with a 2 Hz rate sends. qemu stops
# reading while the machine's port is closed; what waits unread when the next sentence starts
# is dropped, as a real line loses it. Each sentence is shorter than the 50 characters the
# scan's probe reads, so a port opened mid-sentence shows the next one's "$GPG" within them,
# and within its second.
stage "booting the machine"
feed() { # SENTENCE: prints the device, then feeds it
  exec python3 -u -c '
import os, sys, termios, time, tty
body = sys.argv[1]
check = 0
for c in body:
    check ^= ord(c)
line = ("$%s*%02X\r\n" % (body, check)).encode()
master, slave = os.openpty()
tty.setraw(slave)
print(os.ttyname(slave))
start = time.monotonic()
while True:
    termios.tcflush(slave, termios.TCIFLUSH)
    for i in range(len(line)):
        os.write(master, line[i:i + 1])
        time.sleep(max(0.0, start + (i + 1) / 480 - time.monotonic()))
    start += 0.5
    time.sleep(max(0.0, start - time.monotonic()))
' "$1"
}
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
feed 'GPGGA,120000,4807.038,N,01131.000,E,1,08' > "$work/usb.device" &
pids+=($!)
feed 'GPGGA,120000,4500.000,S,00730.000,W,1,08' > "$work/uart.device" &
pids+=($!)
for receiver in usb uart; do
  for _ in $(seq 50); do [ -s "$work/$receiver.device" ] && break; sleep 0.1; done
done

# The monitor (to unplug the USB receiver) and the results port, as pipes: NAME.in towards
# qemu, NAME.out from it.
for channel in monitor results; do mkfifo "$work/$channel.in" "$work/$channel.out"; done
timeout 420 qemu-system-x86_64 -accel tcg -cpu max -smp 2 -m 1024 -nodefaults -no-reboot \
  -display none -kernel "$work/vmlinuz" -initrd "$work/initrd.img" \
  -append "root=/dev/vda rw console=ttyS0,115200" \
  -drive "file=$work/disk.img,format=raw,if=virtio" \
  -chardev "file,id=console,path=$work/console.log" -serial chardev:console \
  -chardev "serial,id=uart,path=$(cat "$work/uart.device")" -serial chardev:uart \
  -device qemu-xhci \
  -chardev "serial,id=usb,path=$(cat "$work/usb.device")" \
  -device usb-serial,id=usbreceiver,chardev=usb \
  -device virtio-serial-pci \
  -chardev "pipe,id=results,path=$work/results" -device virtserialport,chardev=results,name=kova.results \
  -chardev "pipe,id=monitor,path=$work/monitor" -mon chardev=monitor,mode=readline \
  > "$work/qemu.log" 2>&1 &
qemu=$!
pids+=("$qemu")
exec 4<> "$work/results.out" 5<> "$work/results.in" 6<> "$work/monitor.in"
cat "$work/monitor.out" > "$work/monitor.log" &
pids+=($!)

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
    end) ended=true ;;
  esac
done
wait "$qemu" || say "qemu ended with status $? (log: $work/qemu.log)"

if grep -q 'kova-test login:' "$work/console.log"; then
  passed=$((passed + 1)); say "ok   serial console: a login prompt on ttyS0"
else
  failed=$((failed + 1)); say "FAIL serial console: no login prompt on ttyS0 (see $work/console.log)"
fi
if ! $ended; then
  failed=$((failed + 1)); say "FAIL the machine ended before every check ran (see $work/console.log)"
fi
stage "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
