#!/usr/bin/env bash
# Server benchmarks: closed-loop load at 100 and 1,000 connections against the minimal responder
# and the real program (headless, no receiver), then 5,000 idle clients against each.
# Runs inside a private network namespace (needs root or sudo).
#   bench/run-server-bench.sh [BUILD_DIR]     (default: build; needs simple-kova and the benches)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
if [ -z "${KOVA_BENCH_NETNS:-}" ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  exec $sudo unshare -n env KOVA_BENCH_NETNS=1 "$0" "$build"
fi
ip link set lo up

data=$(mktemp -d)
mkdir -p "$data/simple-kova/ports"
XDG_DATA_HOME=$data QT_QPA_PLATFORM=offscreen "$build/app/simple-kova" 2>/dev/null &
program=$!
"$build/bench/query_responder" --port 2948 &
responder=$!
trap 'kill $program $responder 2>/dev/null; rm -rf "$data"' EXIT
for _ in $(seq 50); do
  (exec 3<>/dev/tcp/127.0.0.1/2947) 2>/dev/null && break
  sleep 0.1
done

for connections in 100 1000; do
  echo "responder: $("$build/bench/query_load" --port 2948 --connections $connections --pid $responder)"
  echo "program:   $("$build/bench/query_load" --port 2947 --connections $connections --pid $program)"
done
echo "responder: $("$build/bench/query_idle" --pid $responder --port 2948 --idle 5000 --probes 2000)"
echo "program:   $("$build/bench/query_idle" --pid $program --idle 5000 --probes 2000)"
