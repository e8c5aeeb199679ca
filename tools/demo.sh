#!/usr/bin/env bash
# Shows the program following a moving position without a receiver: plays a track (the demo
# track unless one is given) on a pseudo-terminal, pins it as COM1 in a temporary ports folder,
# and starts the program on it. Brings the build up to date first. Ends when the window is
# closed (or on Ctrl+C).
#   tools/demo.sh [track.nmea]
set -euo pipefail
track=$(realpath "${1:-$(dirname "$0")/demo-track.nmea}")
cd "$(dirname "$0")/.."

tools/install-deps.sh
[ -f build/CMakeCache.txt ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVA_TESTS=OFF
cmake --build build --target simple-kova simple-kova-replay > /dev/null

data=$(mktemp -d)
replay=""
cleanup() {
  if [ -n "$replay" ]; then kill "$replay" 2>/dev/null || true; fi
  rm -rf "$data"
}
trap cleanup EXIT

build/tools/simple-kova-replay --loop "$track" > "$data/device" &
replay=$!
for _ in $(seq 50); do
  [ -s "$data/device" ] && break
  sleep 0.1
done
device=$(head -n 1 "$data/device")
[ -n "$device" ] || { echo "demo: the replay did not start" >&2; exit 1; }

mkdir -p "$data/simple-kova/ports"
ln -s "$device" "$data/simple-kova/ports/COM1"
echo "demo: playing $track on $device as COM1"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "demo: no screen, so the window stays offscreen; ask for the position with:" >&2
  echo "  bash -c 'exec 3<>/dev/tcp/127.0.0.1/2947; printf PVHM >&3; head -n 1 <&3'" >&2
fi
XDG_DATA_HOME="$data" build/app/simple-kova
