#!/usr/bin/env bash
# Builds the Debian package of the committed tree (tools/build-package.sh), checks it with lintian,
# installs it, checks its files, metainfo and service, starts the installed program headless and
# asks it for its position, then purges the package and checks that none of its files is left
# behind. Changes the machine's installed packages: run it as root (or it uses sudo) on a box
# where that is fine. Usage: tools/check-package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
fail() { echo "check-package: FAIL: $*" >&2; exit 1; }
step() { echo "check-package: $*"; }

if dpkg-query -W -f='${Status}' simple-kova 2>/dev/null | grep -q 'ok installed'; then
  fail "simple-kova is installed already; remove it first (apt-get purge simple-kova)"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tools/build-package.sh
deb=build-deb/simple-kova_$(dpkg-parsechangelog -l debian/changelog -S Version)_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no package $deb"
step "built $(basename "$deb")"
depends=$(dpkg-deb -f "$deb" Depends)
# Debian 13 names the core library for its 64-bit time: libqt6core6t64.
for lib in libqt6core6 libqt6gui6 libqt6widgets6; do
  [[ $depends == *"$lib "* || $depends == *"${lib}t64 "* ]] || fail "Depends lacks $lib: $depends"
done
lintian --pedantic --fail-on error,warning build-deb/simple-kova_*.changes \
  || fail "lintian reports errors or warnings"
step "lintian --pedantic: no error, no warning"
# What dpkg knows of and what lies on disk, to see afterwards what the package leaves behind.
snapshot() {
  dpkg-query -W -f='${Package}\n' | sort > "$work/packages-$1"
  find /usr /etc /opt /var/lib/dpkg/info -xdev 2>/dev/null | sort > "$work/files-$1"
}
snapshot before

DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "./$deb"
dpkg -L simple-kova > "$work/listed"
for f in /usr/bin/simple-kova /usr/bin/simple-kova-replay \
         /usr/share/applications/simple-kova.desktop \
         /usr/share/icons/hicolor/scalable/apps/simple-kova.svg \
         /usr/share/metainfo/org.example.simple_kova.metainfo.xml \
         /usr/share/man/man1/simple-kova.1.gz /usr/share/man/man1/simple-kova-replay.1.gz \
         /usr/share/doc/simple-kova/copyright /lib/systemd/system/simple-kova.service; do
  grep -qx "$f" "$work/listed" || fail "dpkg -L simple-kova does not list $f"
  [ -f "$f" ] || fail "$f is not installed"
done
step "installed: $(grep -c . "$work/listed") paths, e.g. /usr/bin/simple-kova"
if ldd /usr/bin/simple-kova | grep 'not found'; then fail "a library of simple-kova is missing"; fi
[ "$(/usr/bin/simple-kova --version)" = "simple-kova $(dpkg-parsechangelog -l debian/changelog -S Version)" ] \
  || fail "simple-kova --version does not give the package's version"
appstreamcli validate --no-net /usr/share/metainfo/org.example.simple_kova.metainfo.xml \
  || fail "the metainfo is not valid"

# The service is there for boxes without a screen, but neither enabled nor started.
unit=/lib/systemd/system/simple-kova.service
[ "$(systemctl is-enabled simple-kova.service 2>/dev/null)" = disabled ] \
  || fail "simple-kova.service is enabled"
verify=$(systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify: $verify"
exposure=$(systemd-analyze security --offline=true "$unit" 2>/dev/null \
           | sed -n 's/.*Overall exposure level for simple-kova.service: \([0-9.]*\).*/\1/p')
[ -n "$exposure" ] || fail "systemd-analyze security gave no exposure level"
awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }' || fail "service exposure $exposure is above 2.0"
step "service: disabled, verify clean, exposure $exposure"

# The replay tool prints the pseudo-terminal it plays on.
cat > "$work/one.nmea" <<'EOF'
$GPGGA,120000.00,4830.0000,N,00915.0000,W,1,08,0.9,100.0,M,47.0,M,,*7C
EOF
/usr/bin/simple-kova-replay "$work/one.nmea" > "$work/replay-out" &
replay=$!
for _ in $(seq 50); do [ -s "$work/replay-out" ] && break; sleep 0.1; done
kill "$replay" 2>/dev/null || true
wait "$replay" 2>/dev/null || true
grep -q '^/dev/pts/' "$work/replay-out" || fail "simple-kova-replay printed no device"

# Headless, without ports, in a private network: it must answer on 2947 and end on SIGTERM
# with status 0.
mkdir -p "$work/data/simple-kova/ports"
mkdir -m 700 "$work/data/run"
# shellcheck disable=SC2016  # the script below expands its variables itself
"${sudo[@]}" unshare -n bash -c '
  set -u
  ip link set lo up
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_DATA_HOME="$1" \
    XDG_RUNTIME_DIR="$1/run" /usr/bin/simple-kova &
  pid=$!
  reply=""
  for _ in $(seq 100); do
    reply=$( (exec 3<>/dev/tcp/127.0.0.1/2947 && printf pvahsm >&3 && timeout 5 head -n 1 <&3 \
              | tr -d "\r") 2>/dev/null)
    [ -n "$reply" ] && break
    sleep 0.1
  done
  kill -TERM "$pid"
  wait "$pid"
  status=$?
  echo "reply: $reply"
  echo "status: $status"
' check "$work/data" > "$work/run"
cat "$work/run"
grep -qx 'reply: KOVA,P=0.000000 0.000000,V=0.000000,A=0.000000,H=0.000000,S=0,M=0' "$work/run" \
  || fail "the installed program did not answer as expected"
grep -qx 'status: 0' "$work/run" || fail "the installed program did not end with status 0"

DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get purge -y -qq simple-kova
dpkg-query -W simple-kova > /dev/null 2>&1 && fail "dpkg still knows simple-kova after purge"
while read -r f; do
  [ -d "$f" ] || [ ! -e "$f" ] || fail "$f is left after purge"
done < "$work/listed"
snapshot after
# Libraries installed for it as dependencies stay (apt marks them for autoremove); anything
# else new on disk was left by the package.
comm -13 "$work/packages-before" "$work/packages-after" > "$work/new-packages"
: > "$work/owned"
while read -r p; do dpkg -L "$p" >> "$work/owned"; done < "$work/new-packages"
sort -u -o "$work/owned" "$work/owned"
comm -13 "$work/files-before" "$work/files-after" | comm -23 - "$work/owned" > "$work/left"
[ -s "$work/left" ] && fail "left behind after purge: $(head -n 20 "$work/left")"
if [ -s "$work/new-packages" ]; then
  step "dependencies installed for it (apt-get autoremove removes them):" \
    "$(tr '\n' ' ' < "$work/new-packages")"
fi
step "purged; nothing of it is left. PASS"
