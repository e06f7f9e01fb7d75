#!/bin/sh
# On demand: the applications people run, on the real GNOME Shell (headless), with the service managing
# the accessibility switch: gnome-text-editor (GTK 4, a --new-window window), qterminal (Qt, started
# after the service) and Firefox ESR on Wayland. Each window is activated twice, each time followed by
# an xterm, and every activation must be reported once with its pid, executable and title; the log of
# the run shows the service's reports. Firefox takes minutes in a shell that renders in software, so
# the suite leaves it out. Needs root (private /tmp) and the packages of scripts/install-deps.sh test;
# installs firefox-esr where it is missing.
# Usage: bench/gnome_apps.sh BUILD_DIR
set -eu
build=${1:?usage: bench/gnome_apps.sh BUILD_DIR}
exe=$build/tests/integration/gnome_shell_tests
[ -x "$exe" ] || { echo "gnome_apps.sh: $exe is missing; build the tests" >&2; exit 1; }
command -v firefox-esr >/dev/null ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends firefox-esr >/dev/null
for app in firefox-esr gnome-text-editor qterminal; do
    command -v "$app" >/dev/null || { echo "gnome_apps.sh: $app is not installed" >&2; exit 1; }
done
KX_TEST_BROWSERS=1 "$exe" --gtest_filter='GnomeShellApps.*'
