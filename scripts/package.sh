#!/usr/bin/env bash
# Builds the Debian package of kx-services and kxctl into dist/, with Debian's hardening flags.
# Usage: scripts/package.sh [BUILD_DIR]    (default: build-package)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-package}

scripts/install-deps.sh package
# The flags a Debian package is built with (hardening, -ffile-prefix-map for reproducible paths).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
for flag in CFLAGS CXXFLAGS CPPFLAGS LDFLAGS; do
  export "$flag=$(dpkg-buildflags --get "$flag")"
done
# CMake reads no CPPFLAGS; they go in with the compiler flags.
export CFLAGS="$CPPFLAGS $CFLAGS" CXXFLAGS="$CPPFLAGS $CXXFLAGS"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DKX_BUILD_TESTS=OFF -DKX_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2
(cd "$build" && cpack -G DEB >/dev/null)
mkdir -p dist
for deb in "$build"/*.deb; do
  mv -f "$deb" dist/
  echo "dist/$(basename "$deb")"
done
