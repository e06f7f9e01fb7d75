#!/bin/sh
# Inside the guest of guest.sh, as root: sway reading the kernel's keyboards through libinput, as uid
# 1000, with wev printing every key its window receives to $KX_WEV_LOG; then "$@" runs with the session's
# WAYLAND_DISPLAY, SWAYSOCK and XDG_RUNTIME_DIR exported. Exits with its status.
set -eu
dir=/run/kx-sway
mkdir -p "$dir" /run/user/1000 /dev/shm
chown 1000:1000 "$dir" /run/user/1000
chmod 0700 /run/user/1000
# wlroots' shm allocator needs a /dev/shm, which the guest's bare devtmpfs lacks.
mount -t tmpfs -o mode=1777 tmpfs /dev/shm
# libinput finds keyboards through udev.
/lib/systemd/systemd-udevd --daemon >/dev/null 2>&1
udevadm trigger --action=add
udevadm settle
cat >"$dir/sway.conf" <<CONF
output * mode 800x600
input type:keyboard xkb_layout us
exec stdbuf -oL wev -f wl_keyboard >$dir/wev.log 2>&1
CONF
export XDG_RUNTIME_DIR=/run/user/1000
# libseat's built-in seat: sway started as if setuid (real uid 1000, effective 0) forks a root seat
# daemon and drops to uid 1000 itself; it refuses a real uid 0.
env LIBSEAT_BACKEND=builtin SEATD_VTBOUND=0 WLR_BACKENDS=headless,libinput WLR_RENDERER=pixman \
  WLR_LIBINPUT_NO_DEVICES=1 HOME="$dir" \
  setpriv --ruid 1000 --euid 0 --rgid 1000 --egid 0 --clear-groups sway -c "$dir/sway.conf" \
  >"$dir/sway.log" 2>&1 &
tries=0
until [ -n "$(ls /run/user/1000/sway-ipc.*.sock 2>/dev/null)" ] && [ -S /run/user/1000/wayland-1 ] &&
  SWAYSOCK=$(ls /run/user/1000/sway-ipc.*.sock) swaymsg -t get_tree 2>/dev/null | grep -q '"app_id": "wev"'; do
  tries=$((tries + 1))
  [ $tries -lt 600 ] || { echo "sway_guest: sway or wev did not come up"; cat "$dir/sway.log"; exit 1; }
  sleep 0.1
done
export SWAYSOCK=$(ls /run/user/1000/sway-ipc.*.sock) WAYLAND_DISPLAY=wayland-1 KX_WEV_LOG=$dir/wev.log
"$@"
