#!/bin/sh
# Cross-builds VelloranLib2.dll with mingw-w64 and runs its tests: the export table, and the keyboard events
# it produces under wine. Installs the compilers, javac and wine through apt when they are missing.
# Usage: windowsJni/run-tests.sh [BUILD_DIR]    (default: build-win at the top of the repository)
set -eu

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build-win}

missing=""
need() { command -v "$1" >/dev/null 2>&1 || missing="$missing $2"; }
need cmake cmake
need make make
need x86_64-w64-mingw32-g++ g++-mingw-w64-x86-64
need javac default-jdk-headless
need wine "wine64 wine"
need flock util-linux
need timeout coreutils

if [ -n "$missing" ]; then
    echo "installing:$missing"
    # Other jobs on the machine may hold the package lock for a while.
    apt="env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=600"
    [ "$(id -u)" -eq 0 ] || apt="sudo $apt"
    $apt update
    # shellcheck disable=SC2086 # the package list is meant to split into words
    $apt install -y --no-install-recommends $missing
fi

cmake -S "$here" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DKX_WERROR=ON
cmake --build "$build" -j 2
cd "$build"
ctest --output-on-failure
