#!/usr/bin/env bash
# The main job: build kx-services and kxctl, start the service and play Velloran's side.
#
# Without a desktop session (no DISPLAY and no WAYLAND_DISPLAY) it brings up a headless X session of
# its own (Xvfb, openbox and two small windows) and shows what the service observes there: a focus
# report for each window as it is activated, the application list, keys typed into a window through
# kxctl (under us, then under German, switched to as users do), and a captured region saved as
# region.png. In a desktop session it runs against that session instead and injects no keys. Everything it starts is ended again, by pid.
#
# With --wayland it shows the same against a headless GNOME Shell of its own (a Wayland compositor with
# XWayland, its portal and the accessibility bus; tests/harness/gnome_session.sh), in private mount and
# network and process namespaces (so it needs root, through sudo otherwise): focus reports of a native GTK window
# and an xterm on XWayland, the list, a screenshot through the portal (the shell refuses others its own
# screenshot call) and keys where /dev/uinput exists.
# Usage: scripts/run-main.sh [--wayland] [BUILD_DIR]    (default: build-main)
set -euo pipefail
cd "$(dirname "$0")/.."
wayland=0
if [ "${1:-}" = --wayland ]; then wayland=1; shift; fi
build=${1:-build-main}
headless=0
[ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && headless=1
[ $wayland = 1 ] && headless=0

if [ -z "${KX_RUN_MAIN_INSIDE:-}" ]; then
  if [ $wayland = 1 ]; then scripts/install-deps.sh main-wayland
  elif [ $headless = 1 ]; then scripts/install-deps.sh main
  else scripts/install-deps.sh build; fi
  cmake -S . -B "$build" -G Ninja -DKX_BUILD_TESTS=OFF -DKX_BUILD_BENCH=OFF >/dev/null
  cmake --build "$build" -j2
fi
if [ $wayland = 1 ] && [ -z "${KX_RUN_MAIN_INSIDE:-}" ]; then
  # The desktop's sockets, its X display number and /tmp/kx-services are then this run's alone, and the
  # process list shows this run's processes only.
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  exec $sudo env KX_RUN_MAIN_INSIDE=1 unshare -m -n -p -f --mount-proc --propagation private -- \
    bash "$0" --wayland "$build"
fi
if [ $wayland = 1 ]; then
  # The source tree may itself lie under /tmp: relative paths still reach it through the working
  # directory, but Python opens its script by absolute path, so the helpers are run from their text.
  # Run in the background only: the subshell becomes the helper, so its pid is the one ended.
  harness_py() { local name=$1; shift; exec /usr/bin/python3 -c "$(cat "tests/harness/$name")" "$@"; }
  mount -t tmpfs -o mode=1777 tmpfs /tmp
  unset DISPLAY WAYLAND_DISPLAY XAUTHORITY DBUS_SESSION_BUS_ADDRESS XDG_SESSION_TYPE
fi
kxctl="$build/client/kxctl"

if [ -e /tmp/kx-services/input-services-to-main ] && pgrep -x kx-services >/dev/null; then
  echo "kx-services is already running in this session; stop it first." >&2
  exit 1
fi

work=$(mktemp -d)
pids=()
cleanup() {
  exec 3>&- 2>/dev/null || true
  # Newest first: the service and the clients before the window manager and the server.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
started() { pids+=("$1"); }
say() { printf '\n== %s\n' "$*"; }

if [ $headless = 1 ]; then
  say "No desktop session here: starting a headless X session of our own"
  Xvfb -displayfd 3 -screen 0 1024x640x24 -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.err" &
  started $!
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
  [ -s "$work/display" ] || { echo "Xvfb did not start:" >&2; cat "$work/xvfb.err" >&2; exit 1; }
  export DISPLAY=":$(cat "$work/display")"
  openbox --sm-disable >/dev/null 2>&1 &
  started $!
  sleep 1
  xterm -T "kx demo: notes" -geometry 50x10+40+40 -e sh -c 'echo "A window to focus."; sleep 100000' 2>/dev/null &
  started $!
  # What is typed here lands, line by line, in typed.txt.
  xterm -T "kx demo: typing" -geometry 50x10+340+260 -e sh -c 'cat > "$0"' "$work/typed.txt" 2>/dev/null &
  started $!
  for title in "kx demo: notes" "kx demo: typing"; do
    timeout 30 xdotool search --sync --name "^$title\$" >/dev/null ||
      { echo "the window '$title' did not appear" >&2; exit 1; }
  done
  echo "   Xvfb on DISPLAY=$DISPLAY, openbox and two xterm windows (pids ${pids[*]})"
  activate() { xdotool windowactivate --sync "$(xdotool search --name "^$1\$")" 2>/dev/null; }
  walk=("kx demo: notes" "kx demo: typing" "kx demo: notes") pause=0.7 typing="kx demo: typing"
fi

if [ $wayland = 1 ]; then
  say "Starting a headless GNOME Shell session of our own"
  mkfifo "$work/session.in" "$work/control.in"
  # Settings in dconf, as on a desktop: the service reads the input sources the shell writes.
  export GSETTINGS_BACKEND=dconf
  bash tests/harness/gnome_session.sh "$work/gnome" 1280x720 <"$work/session.in" >"$work/session.out" 2>&1 &
  started $!
  exec 4>"$work/session.in"
  for _ in $(seq 600); do grep -q -e '^ready' -e '^failed' "$work/session.out" && break; sleep 0.1; done
  grep -q '^ready' "$work/session.out" || { echo "GNOME Shell did not start:" >&2; cat "$work/session.out" >&2; exit 1; }
  while read -r kind var; do [ "$kind" = env ] && export "${var?}"; done <"$work/session.out"
  # Headless mutter has no keyboard on its seat until a remote-desktop session holds one: without it
  # native windows never hear that they got the focus. The shell shows a sharing indicator meanwhile.
  harness_py gnome_control.py --keyboard <"$work/control.in" >"$work/control.out" 2>&1 &
  started $!
  exec 5>"$work/control.in"
  for _ in $(seq 100); do grep -q -e '^ready' -e '^failed' "$work/control.out" && break; sleep 0.1; done
  grep -q '^ready' "$work/control.out" || { echo "no keyboard on the seat:" >&2; cat "$work/control.out" >&2; exit 1; }
  # Eval's answer: "(true, 'JSON')" when the code ran.
  shell_eval() { gdbus call --session -d org.gnome.Shell -o /org/gnome/Shell -m org.gnome.Shell.Eval "$1" 2>&1; }
  activate() {
    shell_eval "const w = global.display.list_all_windows().find(w => w.get_title() == '$1'); Main.activateWindow(w)" \
      >/dev/null
  }
  GDK_BACKEND=wayland harness_py gtk_windows.py "kx demo: native" >/dev/null 2>&1 &
  started $!
  xterm -T "kx demo: xterm" -e sh -c 'cat > "$0"' "$work/typed.txt" 2>/dev/null &
  started $!
  windows=0
  for _ in $(seq 100); do
    [ "$(shell_eval "global.display.list_all_windows().filter(w => w.get_title().startsWith('kx demo')).length")" \
      = "(true, '2')" ] && windows=2 && break
    sleep 0.1
  done
  [ $windows = 2 ] || { echo "the demo windows did not appear" >&2; exit 1; }
  # Two input sources, as a user with a second layout has them. The shell records the one in use only
  # once IBus, which it starts itself, is up.
  sources="imports.ui.status.keyboard.getInputSourceManager()"
  shell_eval "new imports.gi.Gio.Settings({schema_id: 'org.gnome.desktop.input-sources'}).set_value('sources',
    new imports.gi.GLib.Variant('a(ss)', [['xkb', 'us'], ['xkb', 'de']]))" >/dev/null
  for _ in $(seq 300); do
    [ "$(shell_eval "$sources._ibusReady && Object.keys($sources.inputSources).length == 2")" = "(true, 'true')" ] &&
      break
    sleep 0.1
  done
  # Then what a default GNOME does: its screenshot call refused to other programs (the helper keeps
  # Eval for this script). And the portal's screenshot permission, as stored once the user has answered
  # the portal's question.
  control() {
    local before
    before=$(wc -l <"$work/control.out")
    echo "$1" >&5
    for _ in $(seq 300); do [ "$(wc -l <"$work/control.out")" -gt "$before" ] && break; sleep 0.1; done
    tail -n 1 "$work/control.out" | grep -q "^\[\"[a-z]*\", true" || { echo "the shell refused $1" >&2; exit 1; }
  }
  control '["unsafe", false]'
  control '["permission", "screenshot", "screenshot", "", "yes"]'
  # The shell's activation takes longer to reach every client than the X server's.
  walk=("kx demo: native" "kx demo: xterm" "kx demo: native") pause=1 typing="kx demo: xterm"
  echo "   GNOME Shell $(gnome-shell --version | awk '{print $3}') on WAYLAND_DISPLAY=$WAYLAND_DISPLAY," \
    "XWayland on DISPLAY=$DISPLAY; a GTK window on Wayland, an xterm on XWayland;" \
    "ScreenshotArea refused to others, the portal's screenshot permission stored"
fi

"$build/linuxServices/kx-services" >"$work/service.out" 2>"$work/service.err" &
service=$!
started $service
say "kx-services started (pid $service); session: XDG_SESSION_TYPE='${XDG_SESSION_TYPE:-}'" \
  "WAYLAND_DISPLAY='${WAYLAND_DISPLAY:-}' DISPLAY='${DISPLAY:-}'"

# One connection for the whole exchange (the service serves one host for its life): kxctl batch reads
# its commands from a FIFO that this script feeds step by step.
mkfifo "$work/commands"
"$kxctl" batch <"$work/commands" &
batch=$!
started $batch
exec 3>"$work/commands"
send() { printf '%s\n' "$@" >&3; }

send version
if [ $wayland = 1 ]; then
  sleep 1
  say "The keyboard layout GNOME reports, which the service's keys follow"
  grep '^\[Layout\]' "$work/service.out" | sed 's/^/   /'
  echo "   (switching to the second input source, de, with the shell's own input-source switcher)"
  shell_eval "$sources.inputSources[1].activate(true)" >/dev/null
  sleep 1
  grep '^\[Layout\]' "$work/service.out" | tail -n 1 | sed 's/^/   /'
fi
if [ $wayland = 1 ] || [ $headless = 1 ]; then
  say "Focus reports (applicationChanged) as each window is activated in turn"
  send "watch --for $(awk "BEGIN { print int((${#walk[@]} * $pause + 1) * 1000) }")"
  sleep 0.5
  for title in "${walk[@]}"; do
    echo "   (activating '$title')"
    activate "$title"
    sleep $pause
  done
  sleep 1
  say "The application list"
  send list
  sleep 1
  if [ $wayland = 1 ] && [ ! -w /dev/uinput ]; then
    say "No keys: /dev/uinput is not there (or not writable) on this machine"
  else
    say "Typing h, i, Enter into '$typing' with kxctl key commands (virtual-key codes)"
    activate "$typing"
    for code in 72 73 13; do send "key down $code" "key up $code"; done
    if [ $headless = 1 ]; then
      sleep 0.5
      # Two layouts in one keymap, as GNOME and KDE set X11 up, and the layout switch key pressed (Caps
      # Lock here), which locks the second group. vk keys then type their symbols wherever German has
      # them; set1 codes are positions and type what German puts there (the three keys right of P and
      # L: u, o and a umlaut).
      say "Switching to German (layouts us,de, switched with Caps Lock), then typing vk Y, vk Z," \
        "vk minus, set1 1A, 27, 28 and Enter"
      setxkbmap -layout us,de -option grp:caps_toggle
      send "key down 20" "key up 20"
      for code in 89 90 189; do send "key down $code" "key up $code"; done
      for code in 26 39 40; do send "key down $code 3" "key up $code 3"; done
      send "key down 13" "key up 13"
    fi
    sleep 1
    if [ -s "$work/typed.txt" ]; then
      echo "   the window received:"
      sed 's/^/     /' "$work/typed.txt"
    else
      echo "   the window received nothing; the service logged:"
      grep -i 'key' "$work/service.err" | sed 's/^/   /' || true
    fi
  fi
else
  say "Focus reports for 5 seconds: switch between windows now"
  send "watch --for 5000"
  sleep 5.5
  say "The application list"
  send list
  sleep 1
fi

say "A screen region, 0 0 800 500"
send "shot 0 0 800 500 -o $work/region.png"
exec 3>&-
status=0
wait $batch || status=$?
[ $status = 0 ] || echo "   kxctl finished with status $status (where a session offers no screen capture the shot fails)"
if [ -s "$work/region.png" ]; then
  cp "$work/region.png" region.png
  echo "   saved as $PWD/region.png ($(file -b region.png 2>/dev/null || echo PNG))"
fi

sleep 0.2
say "Service standard output (the captured image's Base64 shortened)"
cut -c1-160 "$work/service.out" | sed 's/^/   /'
say "Service standard error"
sed 's/^/   /' "$work/service.err"
# The job succeeded when the service is still up and answered the last request of the exchange.
if kill -0 "$service" 2>/dev/null && grep -q 'Received region screenshot req... sending to Velloran' "$work/service.out"; then
  say "exchange complete"
else
  echo "== kx-services did not complete the exchange" >&2
  exit 1
fi
