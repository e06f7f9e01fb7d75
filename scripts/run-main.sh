#!/usr/bin/env bash
# The main job: build kx-services and kxctl, start the service and play Velloran's side.
#
# Without a desktop session (no DISPLAY and no WAYLAND_DISPLAY) it brings up a headless X session of
# its own (Xvfb, openbox and two small windows) and shows what the service observes there: a focus
# report for each window as it is activated, the application list, keys typed into a window through
# kxctl, and a captured region saved as region.png. In a desktop session it runs against that session
# instead and injects no keys. Everything it starts is ended again, by pid.
# Usage: scripts/run-main.sh [BUILD_DIR]    (default: build-main)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-main}
headless=0
[ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && headless=1

if [ $headless = 1 ]; then scripts/install-deps.sh main; else scripts/install-deps.sh build; fi
cmake -S . -B "$build" -G Ninja -DKX_BUILD_TESTS=OFF -DKX_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2
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
if [ $headless = 1 ]; then
  say "Focus reports (applicationChanged) as each window is activated in turn"
  send "watch --for 3000"
  sleep 0.5
  for title in "kx demo: notes" "kx demo: typing" "kx demo: notes"; do
    echo "   (activating '$title')"
    xdotool windowactivate --sync "$(xdotool search --name "^$title\$")" 2>/dev/null
    sleep 0.7
  done
  sleep 1
  say "The application list"
  send list
  sleep 1
  say "Typing h, i, Enter into 'kx demo: typing' with kxctl key commands (virtual-key codes)"
  xdotool windowactivate --sync "$(xdotool search --name '^kx demo: typing$')" 2>/dev/null
  for code in 72 73 13; do send "key down $code" "key up $code"; done
  sleep 1
  if [ -s "$work/typed.txt" ]; then
    echo "   the window received: $(cat "$work/typed.txt")"
  else
    echo "   the window received nothing; the service logged:"
    grep -i 'key' "$work/service.err" | sed 's/^/   /' || true
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
