#!/usr/bin/env bash
# The whole test suite: builds with warnings as errors, runs every CTest test of the Linux
# service (unit, concurrency, integration), then cross-builds the Windows DLL and tests it
# under wine.
# Usage: scripts/run-tests.sh [BUILD_DIR]    (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

scripts/install-deps.sh test
cmake -S . -B "$build" -G Ninja -DKX_WERROR=ON
cmake --build "$build" -j2
(cd "$build" && ctest -j2 --output-on-failure)

case "$build" in
  /*) windows_build="$build-windows" ;;
  *) windows_build="$PWD/$build-windows" ;;
esac
windowsJni/run-tests.sh "$windows_build"
