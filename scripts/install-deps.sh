#!/usr/bin/env bash
# Installs what building and testing kx-services needs on Debian 12 / Ubuntu.
# Usage: scripts/install-deps.sh [build|main|main-wayland|package|test]   (default: test, which includes the others)
# main: build, plus the headless X session the main job brings up where no desktop session runs.
# main-wayland: build, plus the headless GNOME Shell session of the main job's --wayland run.
set -euo pipefail

what=${1:-test}
packages=(cmake ninja-build g++ pkg-config nlohmann-json3-dev libglib2.0-dev
  libx11-dev libxtst-dev libgdk-pixbuf-2.0-dev libatspi2.0-dev libxkbcommon-dev
  libxkbcommon-x11-dev libx11-xcb-dev libwayland-dev)
# Captures: PNG files compressed with ISA-L, the portal's image read with libpng; libdeflate for the
# benchmark's comparison of encoders.
packages+=(libisal-dev libpng-dev libdeflate-dev)
if [ "$what" = main ] || [ "$what" = test ]; then
  packages+=(xvfb openbox xterm xdotool procps x11-xkb-utils)
fi
if [ "$what" = main-wayland ] || [ "$what" = test ]; then
  # GNOME Shell as a headless Wayland compositor with XWayland, its portal and the accessibility bus;
  # a GTK window and an xterm to focus.
  packages+=(gnome-shell xdg-desktop-portal xdg-desktop-portal-gnome xwayland gsettings-desktop-schemas
    libgl1-mesa-dri dbus at-spi2-core libglib2.0-bin python3-gi gir1.2-gtk-3.0 xterm file)
  # The input sources the shell writes, in dconf; IBus, without which the shell records no switch.
  packages+=(dconf-gsettings-backend ibus)
fi
if [ "$what" = package ] || [ "$what" = test ]; then
  packages+=(dpkg-dev file)
fi
if [ "$what" = test ]; then
  # The package's checks: lintian, man pages, and a guest whose udev installs it.
  packages+=(lintian man-db xterm udev kmod systemd qemu-system-x86 linux-image-amd64 busybox-static cpio)
  packages+=(libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev util-linux jq
    xvfb openbox x11-utils dbus at-spi2-core)
  # X11 desktop tests and benchmarks: real clients, and the peers they are compared with.
  packages+=(xterm xdotool wmctrl x11-apps python3-gi gir1.2-gtk-3.0 maim imagemagick)
  # Key injection: XInput 2 for watching keys at the X server, setxkbmap for layouts, xdotool as the
  # benchmark's peer; the uinput tests boot the same guest kernel as the package's checks.
  packages+=(libxi-dev x11-xkb-utils xdotool)
  # Wayland desktop tests and benchmarks: GTK clients of the accessibility bus (above), stand-ins for the
  # shell's screenshot service and the portal, a real compositor with XWayland, and ps as a peer.
  packages+=(python3-dbus libglib2.0-bin weston xwayland procps)
  # The application kinds checked on the real GNOME Shell: Qt 5 clients, on XWayland and native Wayland.
  packages+=(python3-pyqt5 qtwayland5)
  # GTK 4 windows, native on the real GNOME Shell.
  packages+=(gir1.2-gtk-4.0)
  # Applications people run, on the real GNOME Shell: a GTK 4 editor whose later windows are "fillers",
  # a Qt terminal. bench/gnome_apps.sh installs Firefox itself: no test of the suite runs it.
  packages+=(gnome-text-editor qterminal)
  # sway, headless: a virtual keyboard for its seat (wtype), and the portal's wlroots backend with what
  # it runs (PipeWire, grim).
  packages+=(sway xdg-desktop-portal xdg-desktop-portal-wlr pipewire grim wtype)
  # KWin, headless (about 130 MB): its focus moved by its own scripting.
  packages+=(kwin-wayland)
  # Keys seen where they arrive: wev prints the keysyms sway gives its window in the guest; IBus, which
  # GNOME Shell needs to keep the current input source in its settings.
  packages+=(wev ibus)
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
