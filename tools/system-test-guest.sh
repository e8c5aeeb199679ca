#!/bin/bash
# The checks inside the machine of tools/system-test.sh, run at boot. One line per check goes to
# the host over a virtio port ("ok   WHAT" or "FAIL WHAT: WHY"); "host unplug" and "host
# replug" ask the host to take the USB receiver out and put it back, "host quiet NAME" and
# "host talk NAME" to silence a receiver (usb, uart) and let it talk again, "host login" to
# give the console an empty login name; each waits for the host's "done".
set -u
for _ in $(seq 150); do [ -e /dev/virtio-ports/kova.results ] && break; sleep 0.2; done
exec 3<> /dev/virtio-ports/kova.results
report() { printf '%s\n' "$*" >&3; }
check() { # WHAT WHY: passes when WHY is empty
  if [ -z "$2" ]; then report "ok   $1"; else report "FAIL $1: $2"; fi
}
host() { # REQUEST: empty when the host did it, else its answer
  local answer=
  report "host $1"
  read -r -t 60 -u 3 answer
  [ "$answer" = 'done' ] || echo "the host did not do '$1': ${answer:-no answer}"
}

here=/root/system-test
console=/dev/ttyS0 uart=/dev/ttyS1 usb=/dev/ttyUSB0
found_line='simple-kova: GPS Receiver on COM1'
# An address of the machine besides the loopback ones.
other=192.0.2.1

query() { # [ADDRESS]
  # shellcheck disable=SC2016  # the inner shell expands $1
  timeout 3 bash -c 'exec 5<>"/dev/tcp/$1/2947" && printf p >&5 && head -n 1 <&5' sh "${1:-127.0.0.1}" \
    2>/dev/null | tr -d '\r'
}
# Empty when REPLY gives a position of the receiver's log (usb, uart), to the last digit but two.
in_log() { # REPLY RECEIVER
  local position=${1#KOVA,P=}
  [ "$position" != "$1" ] && awk -v p="$position" 'BEGIN { split(p, q, " ") }
    (q[1] - $1) ^ 2 < 1e-9 && (q[2] - $2) ^ 2 < 1e-9 { found = 1; exit } END { exit !found }' \
    "$here/$2.positions" || echo "the reply '${1:-nothing}' is no position of the $2 receiver's log"
}
# Waits up to SECONDS for a reply with a position of RECEIVER's log; empty when it came.
awaits() { # RECEIVER SECONDS
  local last='' i
  for ((i = 0; i < $2 * 2; i++)); do
    last=$(query)
    [ -z "$(in_log "$last" "$1")" ] && return
    sleep 0.5
  done
  in_log "$last" "$1"
}
settings() { stty -g -F "$1" 2>&1; }
exclusive() { # 1 when the device has the exclusive flag set (TIOCGEXCL)
  perl -MFcntl -e 'sysopen(my $f, $ARGV[0], O_RDONLY | O_NONBLOCK | O_NOCTTY) or die "$!\n";
    my $flag = pack("i", -1); ioctl($f, 0x80045440, $flag) or die "$!\n";
    print unpack("i", $flag), "\n"' "$1" 2>&1
}
left_as() { # DEVICE SETTINGS: empty when the device has them and is not exclusive
  local now
  now=$(settings "$1")
  if [ "$now" != "$2" ]; then
    echo "$1 is at $(stty -F "$1" speed) baud with '$now' instead of '$2'"
  elif [ "$(exclusive "$1")" != 0 ]; then
    echo "$1 is still exclusive"
  fi
}
# Who opens which device: from watch_opens to the end of watch, /tmp/opens gets a line per open
# of each device watched (the checks themselves open none meanwhile).
watch_opens() { # DEVICE...
  inotifywait -m -e open --format '%w' "$@" > /tmp/opens 2> /tmp/watch.log &
  watcher=$!
  for _ in $(seq 50); do grep -q 'Watches established' /tmp/watch.log && break; sleep 0.1; done
}
end_watch() { kill "$watcher"; wait "$watcher" 2> /dev/null; }
untouched() { # DEVICE SETTINGS: empty when left as it was, and not opened while watched
  local why opened
  why=$(left_as "$1" "$2")
  opened=$(grep -cxF "$1" /tmp/opens)
  [ "$opened" -gt 0 ] && why="${why:+$why; }opened $opened times"
  echo "$why"
}
held() { # DEVICE: empty when it is at 4800 baud, raw and exclusive
  local all flag wrong=()
  all=" $(stty -a -F "$1" 2>&1 | tr '\n;' '  ') "
  [[ $all == *" speed 4800 baud "* ]] || wrong+=("speed $(stty -F "$1" speed)")
  for flag in -icanon -echo -isig -iexten -opost -icrnl -inlcr -igncr -istrip -ixon cs8 -parenb; do
    [[ $all == *" $flag "* ]] || wrong+=("not $flag")
  done
  [ "$(exclusive "$1")" = 1 ] || wrong+=("not exclusive")
  [ ${#wrong[@]} -eq 0 ] || echo "$1: ${wrong[*]}"
}
program_lines() { journalctl --quiet -o cat _SYSTEMD_UNIT=simple-kova.service; }
main_pid() { systemctl show -p MainPID --value simple-kova; }
start() {
  systemctl start simple-kova 2>&1
  systemctl is-active --quiet simple-kova || echo "the service is $(systemctl is-active simple-kova)"
}
options() { echo "SIMPLE_KOVA_OPTIONS=\"$1\"" > /etc/default/simple-kova; }
# What lies on the disk and in /run, with link targets, and the users and groups: before the
# package is installed and after it is purged. Left out: what changes with any boot or any
# package (logs, dpkg's and apt's records) and this test's own files.
snapshot() {
  find / /run -xdev \( -path /tmp -o -path /var/tmp -o -path /var/log -o -path /var/lib/dpkg \
    -o -path /var/lib/apt -o -path /var/cache/apt -o -path /var/cache/debconf \
    -o -path /run/systemd -o -path /run/udev -o -path /run/log -o -path /run/user \
    -o -path /var/lib/systemd/timers -o -path /var/lib/systemd/catalog -o -path "$here" \) -prune \
    -o -printf '%y %p %l\n' | sort
  cat /etc/passwd /etc/group
}

timeout 120 systemctl is-system-running --wait > /dev/null
udevadm settle
# shellcheck source=/dev/null
report "info $(. /etc/os-release && echo "$PRETTY_NAME"), $(systemctl --version | head -n 1)," \
  "kernel $(uname -r), consoles: $(cat /sys/class/tty/console/active)"
ip link add kova0 type dummy && ip address add "$other/24" dev kova0 && ip link set kova0 up

snapshot > /tmp/before
if ! dpkg -i "$here/simple-kova.deb" > /tmp/dpkg.log 2>&1; then
  check "dpkg -i: the package installs in the booted machine" "$(tail -n 5 /tmp/dpkg.log | tr '\n' '|')"
  report end
  systemctl poweroff
  exit
fi

# The receivers' ports as a terminal leaves them: 9600 baud, canonical, echo.
stty -F "$usb" 9600 sane
stty -F "$uart" 9600 sane
console_before=$(settings "$console")
usb_before=$(settings "$usb")
uart_before=$(settings "$uart")

watch_opens "$uart"
why=$(start)
[ -z "$why" ] && why=$(awaits usb 60)
check "systemctl start: the service finds the USB receiver as COM1 and answers a position of its log" "$why"
check "while the service runs: ttyUSB0 (its receiver) is at 4800 baud, raw and exclusive" "$(held "$usb")"
other_reply=$(query "$other")
for _ in $(seq 20); do [ -n "$(program_lines)" ] && break; sleep 0.5; done
lines=$(program_lines)
check "journal: '$found_line' and no other line from the program" \
  "$([ "$lines" = "$found_line" ] || echo "the program wrote: ${lines//$'\n'/ | }")"
systemctl stop simple-kova
end_watch
check "systemctl stop: ttyUSB0 (the receiver) has its settings from before, not exclusive" \
  "$(left_as "$usb" "$usb_before")"
check "ttyS1 (never probed) not touched by the service: settings, not exclusive, never opened" \
  "$(untouched "$uart" "$uart_before")"

why=$(start)
[ -z "$why" ] && why=$(awaits usb 60)
before=$(main_pid)
if [ -z "$why" ]; then
  dpkg -i "$here/simple-kova.deb" > /tmp/dpkg.log 2>&1 || why="dpkg -i failed: $(tail -n 3 /tmp/dpkg.log)"
fi
if [ -z "$why" ]; then
  if ! systemctl is-active --quiet simple-kova; then
    why="the service is $(systemctl is-active simple-kova) afterwards"
  elif [ "$(main_pid)" = "$before" ]; then
    why="the service was not restarted (still process $before)"
  else
    why=$(awaits usb 60)
  fi
fi
check "the same package installed again over the running service: restarted, running, answering" "$why"

why=$(host unplug)
if [ -z "$why" ]; then
  for _ in $(seq 40); do [ -e "$usb" ] || break; sleep 0.5; done
  why=$([ -e "$usb" ] && echo "$usb is still there")
  [ -z "$why" ] && why=$(awaits uart 60)
fi
check "USB receiver unplugged (qemu monitor): the scan finds the UART receiver on ttyS1, its log's position" "$why"
check "while the service runs: ttyS1 (its receiver) is at 4800 baud, raw and exclusive" "$(held "$uart")"

why=$(host replug)
if [ -z "$why" ]; then
  for _ in $(seq 60); do [ -e "$usb" ] && break; sleep 0.5; done
  udevadm settle
  why=$([ -e "$usb" ] || echo "$usb did not come back")
  usb_replugged=$(settings "$usb")
  sleep 2
  [ -z "$why" ] && ! systemctl is-active --quiet simple-kova && why="the service ended"
fi
# The UART receiver falls silent: after the watchdog's silence the scan finds the adapter again.
[ -z "$why" ] && why=$(host "quiet uart")
[ -z "$why" ] && why=$(awaits usb 90)
check "USB receiver plugged in again, the UART one silent: the scan opens the adapter again and answers its log's position" "$why"
lines=$(program_lines)
check "journal over three starts and two rescans: only '$found_line'" \
  "$(grep -vxF "$found_line" <<< "$lines" | head -n 3 | tr '\n' '|')"

systemctl stop simple-kova
check "systemctl stop: ttyS1 (the receiver before) has its settings from before, not exclusive" \
  "$(left_as "$uart" "$uart_before")"
check "systemctl stop: ttyUSB0 (plugged in again) has its settings from the replug, not exclusive" \
  "$(left_as "$usb" "${usb_replugged:-}")"

# A scan over every port with no receiver answering, as root: nothing but the program's own rule
# keeps it off the console, which its getty would let root open.
why=$(host unplug)
for _ in $(seq 40); do [ -e "$usb" ] || break; sleep 0.5; done
watch_opens "$console"
mkdir -m 700 /tmp/scan-run
QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp/scan-run XDG_CACHE_HOME=/tmp/scan-run \
  XDG_DATA_HOME=/tmp/scan-run /usr/bin/simple-kova --verbose > /tmp/scan.out 2>&1 &
scan=$!
for _ in $(seq 60); do grep -q 'Could not find GPS Receiver' /tmp/scan.out && break; sleep 0.5; done
kill "$scan"
wait "$scan"
end_watch
scanned=$(grep -o '/dev/tty[A-Za-z]*[0-9]*' /tmp/scan.out | sort -u | tr '\n' ' ')
if [ -z "$why" ]; then
  if ! grep -q 'Could not find GPS Receiver' /tmp/scan.out; then
    why="the scan did not end without a receiver: $(tr '\n' '|' < /tmp/scan.out)"
  elif [ "$scanned" != "$uart " ]; then
    why="the scan probed '$scanned' instead of '$uart ' alone: $(tr '\n' '|' < /tmp/scan.out)"
  else
    why=$(untouched "$console" "$console_before")
  fi
fi
check "a scan over every port, none answering (--verbose, as root): ttyS1 probed, the console passed over and not touched" "$why"
why=$(host "talk uart")

# The getty on the console asks for a login again after all of the above.
check "console ttyS0: the login prompt comes again after an empty login name" "$(host login)"

options "--device $uart --listen 127.0.0.1"
why=$(start)
[ -z "$why" ] && why=$(awaits uart 60)
if [ -z "$why" ]; then
  if [[ $other_reply == KOVA,P=* ]]; then
    reply=$(query "$other")
    [ -n "$reply" ] && why="a query to $other got '$reply'"
  else
    why="without --listen a query to $other got '$other_reply'"
  fi
fi
check "options from /etc/default/simple-kova (--device $uart --listen 127.0.0.1): the UART receiver answers on 127.0.0.1, not on $other" "$why"
systemctl stop simple-kova
# A file of the administrator's goes before the purge; one of the package's, the purge removes.
dpkg -S /etc/default/simple-kova > /dev/null 2>&1 || rm /etc/default/simple-kova

why=$(start)
[ -z "$why" ] && why=$(awaits uart 60)
apt-get purge -y -qq simple-kova > /tmp/purge.log 2>&1 || why="apt-get purge failed: $(tail -n 3 /tmp/purge.log)"
if [ -z "$why" ]; then
  snapshot > /tmp/after
  left=$(diff /tmp/before /tmp/after | grep '^[<>]' | head -n 10 | tr '\n' '|')
  grep -qx simple-kova /proc/[0-9]*/comm 2>/dev/null && left+=" a running simple-kova"
  [ "$(systemctl show -p LoadState --value simple-kova)" = not-found ] || left+=" the service"
  [ -z "$left" ] || why="before install (<) and after purge (>) differ: $left"
fi
check "apt-get purge with the service running: the file system, users and groups as before the install" "$why"

report end
systemctl poweroff
