#!/usr/bin/env bash
# Builds the program and starts it. Without a screen (no DISPLAY or WAYLAND_DISPLAY) it runs on
# Qt's offscreen platform; end it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVA_TESTS=OFF
cmake --build build --target simple-kova
exec build/app/simple-kova
