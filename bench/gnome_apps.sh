#!/bin/sh
# On demand: the applications people run, on the real GNOME Shell (headless), with the service managing
# the accessibility switch: gnome-text-editor (GTK 4, a --new-window window), qterminal (Qt), Firefox ESR
# and Chromium on Wayland, LibreOffice Writer (GTK 3) on Wayland and a Java Swing program on XWayland,
# all started after the service. Each window is activated three times, each time followed by a native
# GTK 3 window or an xterm in turn; every activation must be reported once with its pid, process and
# title, and the run ends with a table of what each application got. It takes a few minutes and about
# 400 MB of applications, which the suite does without. Needs root (private /tmp) and the packages of
# scripts/install-deps.sh test; installs the applications where they are missing.
# Usage: bench/gnome_apps.sh BUILD_DIR
set -eu
build=${1:?usage: bench/gnome_apps.sh BUILD_DIR}
exe=$build/tests/integration/gnome_shell_tests
[ -x "$exe" ] || { echo "gnome_apps.sh: $exe is missing; build the tests" >&2; exit 1; }
missing=
for pair in firefox-esr:firefox-esr chromium:chromium libreoffice:"libreoffice-writer libreoffice-gtk3" \
    java:default-jre; do
    command -v "${pair%%:*}" >/dev/null || missing="$missing ${pair#*:}"
done
[ -z "$missing" ] ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
for app in gnome-text-editor qterminal firefox-esr chromium libreoffice java; do
    command -v "$app" >/dev/null || { echo "gnome_apps.sh: $app is not installed" >&2; exit 1; }
done
"$exe" --gtest_filter='GnomeShellApps.*'
