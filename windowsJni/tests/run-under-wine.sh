#!/bin/sh
# Runs a Windows program under wine in a private prefix, without any display, and stops that prefix's
# wineserver afterwards so nothing lingers.
# Usage: run-under-wine.sh PREFIX_DIR PROGRAM.exe [ARGS...]
# WINE and WINESERVER name the programs to use (default: wine and wineserver from the PATH).
set -eu

if [ $# -lt 2 ]; then
    echo "usage: $0 PREFIX_DIR PROGRAM.exe [ARGS...]" >&2
    exit 2
fi
prefix=$1
shift

export WINEPREFIX="$prefix"
export WINEDEBUG=-all
# No wine-mono or wine-gecko: there is nothing to download them from, and the programs need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wine=${WINE:-wine}
wineserver=${WINESERVER:-wineserver}

trap '{ "$wineserver" -k; timeout 30 "$wineserver" -w; } 2>/dev/null || true' EXIT

# A prefix is only used once ".complete" marks it finished; an interrupted creation is started over.
mkdir -p "$(dirname "$prefix")"
(
    flock 9
    if [ ! -f "$prefix/.complete" ]; then
        echo "creating wine prefix $prefix"
        rm -rf "$prefix"
        timeout 180 "$wine" wineboot -i >/dev/null 2>&1 || { echo "wineboot -i failed or timed out" >&2; exit 1; }
        # The null driver keeps wine from looking for an X or Wayland display.
        timeout 60 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 ||
            { echo "setting the null graphics driver failed" >&2; exit 1; }
        timeout 60 "$wineserver" -w
        touch "$prefix/.complete"
    fi
) 9>"$prefix.lock"

status=0
timeout 120 "$wine" "$@" || status=$?
if [ "$status" -eq 124 ]; then
    echo "$1 did not finish within 120 s" >&2
fi
exit "$status"
