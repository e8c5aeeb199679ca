#!/usr/bin/env bash
# Takes a picture of the window following a track (tools/demo.sh), drawn on a virtual screen and
# captured once the fix has come and a few lines have reached the log. Asks the program on TCP
# port 2947 when the fix is there, so nothing else may hold that port.
#   tools/screenshot.sh tools/demo-track.nmea docs/window.png
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 track.nmea picture.png" >&2
  exit 2
fi
track=$(realpath "$1")
picture=$(realpath -m "$2")
export track picture
cd "$(dirname "$0")/.."
tools/install-deps.sh test

# The capture's own tools: xwd takes the window, netpbm turns it into a PNG.
missing=()
for p in x11-apps netpbm; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
fi

version=$(sed -n 's/^project(simple-kova VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
export title="Simple Kova $version"
mkdir -p "$(dirname "$picture")"

capture() {
  set -euo pipefail
  local log
  log=$(mktemp)
  tools/demo.sh "$track" > "$log" 2>&1 &
  local demo=$! fix="" waited=0
  ask() {
    (exec 3<>/dev/tcp/127.0.0.1/2947 && printf m >&3 && timeout 2 head -n 1 <&3 | tr -d '\r') \
      2>/dev/null || true
  }
  # The demo may build first; the wait for the fix starts once the program answers.
  while kill -0 "$demo" 2>/dev/null; do
    fix=$(ask)
    [ "$fix" = "KOVA,M=3" ] && break
    if [ -n "$fix" ]; then
      waited=$((waited + 1))
      [ "$waited" -le 300 ] || break
    fi
    sleep 0.1
  done
  if [ "$fix" != "KOVA,M=3" ]; then
    echo "screenshot: no 3D fix from $track (last reply: '$fix'); its output:" >&2
    cat "$log" >&2
    rm -f "$log"
    kill "$demo" 2>/dev/null || true
    return 1
  fi
  # A few seconds on: the track has moved, the heading is set and the log has lines.
  sleep 3
  xwd -silent -name "$title" | xwdtopnm 2>/dev/null | pnmtopng > "$picture"
  # Closing the program lets the demo remove its temporary folder and stop the replay.
  kill -TERM "$(pgrep -P "$demo" -x simple-kova)"
  wait "$demo"
  rm -f "$log"
}
# xvfb-run is a plain sh script, which passes no exported function on: hand over its text.
xvfb-run -a -s "-screen 0 640x480x24" bash -c "$(declare -f capture); capture"
echo "screenshot: wrote $picture ($title)"
