#!/usr/bin/env bash
# A GNOME Shell session with no screen and no GPU: its own system and session buses, the shell as a
# headless Wayland compositor with a virtual monitor and XWayland, the real screenshot service, portal
# and accessibility bus (the latter two started by D-Bus activation).
# Usage: gnome_session.sh DIR [WIDTHxHEIGHT]
#   DIR: an empty private directory; the session's HOME, XDG_RUNTIME_DIR and logs go there.
# Run it in a mount and network namespace of its own with a private /tmp (unshare -m -n, a tmpfs on
# /tmp): XWayland's display number and its abstract socket are then the session's alone.
# The shell runs with --unsafe-mode: org.gnome.Shell.Eval drives it, and the script leaves the overview
# (where the shell starts) through it. Whoever wants the shell's ordinary access rules turns unsafe mode
# off at run time (see gnome_shell.cpp).
# It tells on standard output, one line each: "env NAME=VALUE" for every variable that a process of the
# session gets, "shell PID", then "ready"; or "failed REASON" and it ends. It then stays until its
# standard input ends or it gets SIGTERM, and ends exactly the processes it started, by their pids.
set -uo pipefail
# Each process started here leads a process group of its own, ended as a whole: a child that gnome-shell
# has forked and not yet executed holds the shell's sockets, and with them XWayland, after the shell is
# gone.
set -m
dir=$1
monitor=${2:-1920x1080}
pids=()

finish() {
  trap '' TERM INT
  local pid alive
  for pid in "${pids[@]}"; do kill -TERM -- "-$pid" 2>/dev/null; done
  for _ in $(seq 60); do
    alive=
    for pid in "${pids[@]}"; do kill -0 -- "-$pid" 2>/dev/null && alive=1; done
    [ -z "$alive" ] && break
    sleep 0.05
  done
  for pid in "${pids[@]}"; do kill -KILL -- "-$pid" 2>/dev/null; done
  wait
  exit 0
}
trap finish TERM INT

fail() {
  echo "failed $*"
  finish
}

mkdir -p "$dir/home" "$dir/run"
chmod 0700 "$dir/run"
# Mutter refuses to start XWayland without a writable socket directory.
mkdir -p /tmp/.X11-unix && chmod 1777 /tmp/.X11-unix

unset DISPLAY WAYLAND_DISPLAY XAUTHORITY DBUS_SESSION_BUS_ADDRESS DBUS_SYSTEM_BUS_ADDRESS
# Settings in memory, each process its own, unless the caller asks for the desktop's shared store (dconf).
export HOME=$dir/home XDG_RUNTIME_DIR=$dir/run XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=GNOME \
  GSETTINGS_BACKEND=${GSETTINGS_BACKEND:-memory}

# The shell's JavaScript needs a system bus; logind, polkit and the rest may be missing from it.
dbus-daemon --config-file=/usr/share/dbus-1/session.conf --address="unix:path=$dir/system_bus" \
  --nofork --nopidfile >/dev/null 2>"$dir/system_bus.log" &
pids+=($!)
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$dir/system_bus
dbus-daemon --session --address="unix:path=$dir/session_bus" --nofork --nopidfile \
  >/dev/null 2>"$dir/session_bus.log" &
pids+=($!)
export DBUS_SESSION_BUS_ADDRESS=unix:path=$dir/session_bus

owned() {
  gdbus call --session -d org.freedesktop.DBus -o /org/freedesktop/DBus \
    -m org.freedesktop.DBus.NameHasOwner "$1" 2>/dev/null | grep -q true
}
for _ in $(seq 200); do [ -S "$dir/session_bus" ] && [ -S "$dir/system_bus" ] && break; sleep 0.02; done
[ -S "$dir/session_bus" ] || fail "the session bus did not come up"

gnome-shell --headless --wayland --unsafe-mode --virtual-monitor "$monitor" >"$dir/shell.log" 2>&1 &
shell=$!
pids+=("$shell")
for _ in $(seq 1200); do
  owned org.gnome.Shell.Screenshot && break
  kill -0 "$shell" 2>/dev/null || fail "gnome-shell ended at start; its log: $dir/shell.log"
  sleep 0.05
done
owned org.gnome.Shell.Screenshot || fail "gnome-shell did not offer its screenshot service"

display=$(sed -n 's/.*Using public X11 display \(:[0-9]*\).*/\1/p' "$dir/shell.log" | head -1)
xauth=$(ls "$dir"/run/.mutter-Xwaylandauth.* 2>/dev/null | head -1)
wayland=$(ls "$dir/run" | grep -m1 '^wayland-[0-9]*$')
[ -n "$display" ] && [ -n "$xauth" ] && [ -n "$wayland" ] || fail "no XWayland or Wayland socket; log: $dir/shell.log"
export WAYLAND_DISPLAY=$wayland DISPLAY=$display XAUTHORITY=$xauth
# Services started later by D-Bus activation (the portal's GNOME backend) must find the displays.
dbus-update-activation-environment WAYLAND_DISPLAY DISPLAY XAUTHORITY XDG_CURRENT_DESKTOP XDG_SESSION_TYPE ||
  fail "dbus-update-activation-environment failed"
# Outside a systemd session the shell starts the input method (IBus) itself, running JavaScript in the
# forked child before its exec; now and then that child deadlocks, and the shell's main loop waits on
# it for good (seen in the first seconds, more often on loaded machines). A child that still runs the
# shell's program after some seconds is such a one: ending it lets the spawn fail and the shell go on,
# and IBus is started here instead, as a systemd session would (a second daemon declines to run).
unstick() {
  local pid age name
  ps -o pid=,etimes=,comm= --ppid "$shell" 2>/dev/null | while read -r pid age name; do
    [ "$name" = gnome-shell ] && [ "$age" -ge 5 ] && kill -KILL "$pid" 2>/dev/null
  done
}
ibus-daemon --panel disable >"$dir/ibus.log" 2>&1 &
pids+=($!)
# A shell rendering in software on a loaded machine may take long to answer its first call.
for _ in $(seq 12); do
  unstick
  gdbus call --session --timeout 10 -d org.gnome.Shell -o /org/gnome/Shell -m org.gnome.Shell.Eval \
    'Main.overview.hide()' >/dev/null 2>&1 && { evaluated=1; break; }
  kill -0 "$shell" 2>/dev/null || fail "gnome-shell ended at start; its log: $dir/shell.log"
done
[ -n "${evaluated:-}" ] || fail "the shell refused Eval"
# XWayland is still starting when the shell answers, and the session is not ready until it serves X
# clients: a seat that gains its first keyboard (the tests' remote-desktop session) while XWayland
# binds it sends two capability events where XWayland counts one, and XWayland then waits for good in
# its start, every X client with it (seen in about 1 of 25 starts, XWayland 22.1).
for _ in $(seq 6); do
  timeout 10 xdpyinfo >/dev/null 2>&1 && { answered=1; break; }
  kill -0 "$shell" 2>/dev/null || fail "gnome-shell ended at start; its log: $dir/shell.log"
  sleep 0.5
done
[ -n "${answered:-}" ] || fail "XWayland does not answer X clients"

for var in XDG_SESSION_TYPE XDG_CURRENT_DESKTOP WAYLAND_DISPLAY DISPLAY XAUTHORITY DBUS_SESSION_BUS_ADDRESS \
  XDG_RUNTIME_DIR HOME; do
  echo "env $var=${!var}"
done
echo "shell $shell"
echo ready
while read -r _; do :; done
finish
