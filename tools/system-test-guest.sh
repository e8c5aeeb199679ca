#!/bin/bash
# The checks inside the machine of tools/system-test.sh, run at boot. One line per check goes to
# the host over a virtio port ("ok   WHAT" or "FAIL WHAT: WHY"); "host unplug" and "host
# replug" ask the host to take the USB receiver out and put it back, and wait for its "done".
set -u
for _ in $(seq 150); do [ -e /dev/virtio-ports/kova.results ] && break; sleep 0.2; done
exec 3<> /dev/virtio-ports/kova.results
report() { printf '%s\n' "$*" >&3; }
check() { # WHAT WHY: passes when WHY is empty
  if [ -z "$2" ]; then report "ok   $1"; else report "FAIL $1: $2"; fi
}
host() { report "host $1"; local answer=; read -r -t 60 -u 3 answer; [ "$answer" = 'done' ]; }

console=/dev/ttyS0 uart=/dev/ttyS1 usb=/dev/ttyUSB0
usb_position='KOVA,P=48.117302 11.516667'
uart_position='KOVA,P=-45.000000 -7.500000'
found_line='simple-kova: GPS Receiver on COM1'

query() {
  timeout 3 bash -c 'exec 5<>/dev/tcp/127.0.0.1/2947 && printf p >&5 && head -n 1 <&5' \
    2>/dev/null | tr -d '\r'
}
# Waits up to SECONDS for the reply REPLY; empty when it came, else the last reply.
awaits() { # REPLY SECONDS
  local last='' i
  for ((i = 0; i < $2 * 2; i++)); do
    last=$(query)
    [ "$last" = "$1" ] && return
    sleep 0.5
  done
  echo "the reply is '${last:-nothing}' instead of '$1'"
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
program_lines() { journalctl --quiet -o cat _SYSTEMD_UNIT=simple-kova.service; }
main_pid() { systemctl show -p MainPID --value simple-kova; }
start() {
  systemctl start simple-kova 2>&1
  systemctl is-active --quiet simple-kova || echo "the service is $(systemctl is-active simple-kova)"
}

timeout 120 systemctl is-system-running --wait > /dev/null
udevadm settle
# shellcheck source=/dev/null
report "info $(. /etc/os-release && echo "$PRETTY_NAME"), $(systemctl --version | head -n 1)," \
  "kernel $(uname -r), consoles: $(cat /sys/class/tty/console/active)"

# The receivers' ports as a terminal leaves them: 9600 baud, canonical, echo.
stty -F "$usb" 9600 sane
stty -F "$uart" 9600 sane
console_before=$(settings "$console")
usb_before=$(settings "$usb")
uart_before=$(settings "$uart")

why=$(start)
[ -z "$why" ] && why=$(awaits "$usb_position" 60)
check "systemctl start: the service finds the USB receiver as COM1 and answers its position" "$why"
for _ in $(seq 20); do [ -n "$(program_lines)" ] && break; sleep 0.5; done
lines=$(program_lines)
check "journal: '$found_line' and no other line from the program" \
  "$([ "$lines" = "$found_line" ] || echo "the program wrote: ${lines//$'\n'/ | }")"
check "console ttyS0: line settings untouched while the service runs" \
  "$([ "$(settings "$console")" = "$console_before" ] || echo "now $(settings "$console")")"
systemctl stop simple-kova
check "systemctl stop: ttyUSB0 (the receiver) has its settings from before, not exclusive" \
  "$(left_as "$usb" "$usb_before")"
check "systemctl stop: ttyS1 (not probed) has its settings from before, not exclusive" \
  "$(left_as "$uart" "$uart_before")"

why=$(start)
[ -z "$why" ] && why=$(awaits "$usb_position" 60)
before=$(main_pid)
if [ -z "$why" ]; then
  dpkg -i /root/system-test/simple-kova.deb > /tmp/dpkg.log 2>&1 || why="dpkg -i failed: $(tail -n 3 /tmp/dpkg.log)"
fi
if [ -z "$why" ]; then
  if ! systemctl is-active --quiet simple-kova; then
    why="the service is $(systemctl is-active simple-kova) afterwards"
  elif [ "$(main_pid)" = "$before" ]; then
    why="the service was not restarted (still process $before)"
  else
    why=$(awaits "$usb_position" 60)
  fi
fi
check "the same package installed again over the running service: restarted, running, answering" "$why"

if host unplug; then
  for _ in $(seq 40); do [ -e "$usb" ] || break; sleep 0.5; done
  why=$([ -e "$usb" ] && echo "$usb is still there")
  [ -z "$why" ] && why=$(awaits "$uart_position" 60)
else
  why="the host did not unplug it"
fi
check "USB receiver unplugged (qemu monitor): the scan finds the UART receiver on ttyS1" "$why"
if host replug; then
  for _ in $(seq 60); do [ -e "$usb" ] && break; sleep 0.5; done
  udevadm settle
  why=$([ -e "$usb" ] || echo "$usb did not come back")
  usb_replugged=$(settings "$usb")
  sleep 2
  [ -z "$why" ] && ! systemctl is-active --quiet simple-kova && why="the service ended"
  [ -z "$why" ] && why=$(awaits "$uart_position" 10)
else
  why="the host did not replug it"
fi
check "USB receiver plugged in again: the service runs on and answers" "$why"
lines=$(program_lines)
check "journal over three starts and a rescan: only '$found_line'" \
  "$(grep -vxF "$found_line" <<< "$lines" | head -n 3 | tr '\n' '|')"

systemctl stop simple-kova
check "systemctl stop: ttyS1 (the receiver) has its settings from before, not exclusive" \
  "$(left_as "$uart" "$uart_before")"
check "systemctl stop: ttyUSB0 (plugged in again) has its settings from the replug, not exclusive" \
  "$(left_as "$usb" "${usb_replugged:-}")"
check "console ttyS0: line settings untouched after the service stopped" \
  "$([ "$(settings "$console")" = "$console_before" ] || echo "now $(settings "$console")")"

options='--device /dev/ttyS1 --listen 127.0.0.1'
echo "SIMPLE_KOVA_OPTIONS=\"$options\"" > /etc/default/simple-kova
why=$(start)
[ -z "$why" ] && why=$(awaits "$uart_position" 60)
check "options from /etc/default/simple-kova ($options): the UART receiver answers" "$why"
systemctl stop simple-kova
rm /etc/default/simple-kova

why=$(start)
[ -z "$why" ] && why=$(awaits "$usb_position" 60)
dpkg -L simple-kova > /tmp/listed
apt-get purge -y -qq simple-kova > /tmp/purge.log 2>&1 || why="apt-get purge failed: $(tail -n 3 /tmp/purge.log)"
if [ -z "$why" ]; then
  left=()
  while read -r f; do [ -d "$f" ] || [ ! -e "$f" ] || left+=("$f"); done < /tmp/listed
  for f in /var/lib/private/simple-kova /var/lib/simple-kova /var/cache/private/simple-kova \
           /var/cache/simple-kova /run/simple-kova; do
    [ -e "$f" ] && left+=("$f")
  done
  grep -qx simple-kova /proc/[0-9]*/comm 2>/dev/null && left+=("a running simple-kova")
  [ "$(systemctl show -p LoadState --value simple-kova)" = not-found ] || left+=("the service")
  [ ${#left[@]} -eq 0 ] || why="left behind: ${left[*]}"
fi
check "apt-get purge with the service running: nothing of it is left" "$why"

report end
systemctl poweroff
