#!/usr/bin/env bash
# Installs what building and testing kx-services needs on Debian 12 / Ubuntu.
# Usage: scripts/install-deps.sh [build|package|test]   (default: test, which includes the others)
set -euo pipefail

what=${1:-test}
packages=(cmake ninja-build g++ pkg-config nlohmann-json3-dev libglib2.0-dev
  libx11-dev libxtst-dev libgdk-pixbuf-2.0-dev libatspi2.0-dev)
if [ "$what" = package ] || [ "$what" = test ]; then
  packages+=(dpkg-dev file)
fi
if [ "$what" = test ]; then
  # The package's checks: lintian, man pages, and a guest whose udev installs it.
  packages+=(lintian man-db xterm udev kmod systemd qemu-system-x86 linux-image-amd64 busybox-static cpio)
  packages+=(libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev util-linux jq
    xvfb openbox x11-utils dbus at-spi2-core)
  # Key injection: XInput 2 for watching keys at the X server, setxkbmap for layouts, xdotool as the
  # benchmark's peer; the uinput tests boot the same guest kernel as the package's checks.
  packages+=(libxi-dev x11-xkb-utils xdotool)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
