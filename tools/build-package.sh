#!/usr/bin/env bash
# Builds the Debian package of the committed tree and puts it, with its .changes and .buildinfo,
# in build-deb/. dpkg-buildpackage writes next to the folder it builds, so the build runs in a
# clone of its own in a temporary folder and leaves nothing in the working tree.
# Usage: tools/build-package.sh [FOLDER] (another folder than build-deb/)
set -euo pipefail
cd "$(dirname "$0")/.."
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

out=${1:-build-deb}
tools/install-deps.sh package
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
git clone --quiet --no-local . "$work/src"
# Another clone's build may hold apt's lock meanwhile; it is waited for.
(cd "$work/src" && DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get build-dep -y -qq \
  -o DPkg::Lock::Timeout=300 ./ \
  && dpkg-buildpackage -us -uc -b) > "$work/build.log" 2>&1 \
  || { tail -n 30 "$work/build.log"; echo "build-package: dpkg-buildpackage failed" >&2; exit 1; }
mkdir -p "$out"
rm -f "$out"/simple-kova*
mv "$work"/simple-kova*.deb "$work"/simple-kova*.changes "$work"/simple-kova*.buildinfo "$out"/
ls "$out"/*
