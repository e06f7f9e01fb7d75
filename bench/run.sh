#!/bin/sh
# Runs the benchmarks of an existing build and prints their figures; builds nothing.
# Usage: bench/run.sh BUILD_DIR [bench_base64 options...]
# The ratios of the Base64 figures need jq. The round trip and the keys need root for their private
# /tmp; the keys also need Xvfb, xdotool and the qemu guest of the tests.
set -eu

build=${1:?usage: bench/run.sh BUILD_DIR [bench_base64 options...]}
shift
for exe in bench/bench_base64 bench/bench_roundtrip bench/bench_keys linuxServices/kx-services; do
    [ -x "$build/$exe" ] || { echo "run.sh: $build/$exe is missing; build with -DKX_BUILD_BENCH=ON" >&2; exit 1; }
done

tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT

echo "== Base64 encoding: base64Encode against GLib's g_base64_encode =="
"$build/bench/bench_base64" --benchmark_out="$tmp" --benchmark_out_format=json "$@"
if command -v jq >/dev/null; then
    echo
    echo "throughput ratio ownEncoder (base64Encode) / glibEncoder (g_base64_encode); above 1: ours is faster"
    jq -r '
      [.benchmarks[] | select(.run_type == "iteration")
       | {kind: (.name | split("/")[0]), size: (.name | split("/")[1]), bps: .bytes_per_second}]
      | group_by(.size)[]
      | (map(select(.kind == "ownEncoder"))[0].bps) as $own
      | (map(select(.kind == "glibEncoder"))[0].bps) as $glib
      | "  \(.[0].size): \($own / 1048576 | floor) MiB/s vs \($glib / 1048576 | floor) MiB/s = \($own / $glib * 100 | round / 100)x"
    ' "$tmp"
else
    echo "run.sh: jq not found, so no ratios" >&2
fi

echo
echo "== Round trip through kx-services against an echo over the same kind of pipes =="
"$build/bench/bench_roundtrip" "$build/linuxServices/kx-services"

if [ -x "$build/bench/bench_x11" ]; then
    echo
    echo "== The X11 backend on Xvfb + openbox beside maim and wmctrl (about four minutes) =="
    "$build/bench/bench_x11" "$build/linuxServices/kx-services"
fi
echo
echo "== Key injection: kx-services against a bare XTest client and xdotool; a uinput keyboard in a guest =="
"$build/bench/bench_keys"

if [ -x "$build/bench/bench_wayland" ]; then
    echo
    echo "== Wayland backend: focus through the accessibility bus, the /proc list, screenshots through stand-ins =="
    "$build/bench/bench_wayland" "$build/linuxServices/kx-services"
fi

if [ -x "$build/bench/bench_gnome" ]; then
    echo
    echo "== Wayland backend on the real GNOME Shell, headless: focus through Eval, screenshots through the shell and the portal =="
    "$build/bench/bench_gnome" "$build/linuxServices/kx-services"
fi

if [ -x "$build/bench/bench_layout" ]; then
    echo
    echo "== A keyboard layout switch until the Wayland keys follow it: GNOME's settings here, sway's IPC in the guest =="
    "$build/bench/bench_layout" "$build/linuxServices/kx-services"
fi
