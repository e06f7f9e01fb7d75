#!/usr/bin/env bash
# Checks of the Debian package, one step per CTest test (lintian covers the control data's form,
# the guest runs the maintainer script):
#   build    SOURCE WORK   the package from a clean copy of the source tree, as scripts/package.sh makes it
#   contents WORK          its files, control data, udev rule, manual pages; lintian
#   session  WORK          the unpacked programs against a private X session, as an ordinary user
#   guest    WORK          installed with dpkg in a guest whose udev runs (guest-install.sh)
# VERSION in the environment is the project's version.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
step=$1
shift

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
finish() {
  [ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
  echo "all checks passed"
}
the_deb() {
  local debs=("$1"/src/dist/kx-services_*.deb)
  if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    echo "no single package in $1/src/dist" >&2
    exit 1
  fi
  echo "${debs[0]}"
}
need_root() {
  [ "$(id -u)" -eq 0 ] || { echo "needs root (private namespaces); skipped"; exit 77; }
}

build() {
  local src=$1 work=$2
  rm -rf "$work"
  mkdir -p "$work/src"
  # What a clean clone holds, uncommitted changes included: the files git tracks or would track.
  (cd "$src" && git ls-files -z --cached --others --exclude-standard |
    tar --null --files-from=- --ignore-failed-read -cf - 2>/dev/null) | tar -C "$work/src" -xf -
  "$work/src/scripts/package.sh"
  the_deb "$work" >/dev/null
}

expected_files() {
  cat <<'LIST'
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
-rwxr-xr-x root/root ./usr/bin/kx-services
-rwxr-xr-x root/root ./usr/bin/kxctl
drwxr-xr-x root/root ./usr/lib/
drwxr-xr-x root/root ./usr/lib/modules-load.d/
-rw-r--r-- root/root ./usr/lib/modules-load.d/kx-services.conf
drwxr-xr-x root/root ./usr/lib/udev/
drwxr-xr-x root/root ./usr/lib/udev/rules.d/
-rw-r--r-- root/root ./usr/lib/udev/rules.d/60-kx-services-uinput.rules
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/kx-services/
-rw-r--r-- root/root ./usr/share/doc/kx-services/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/kx-services/copyright
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man1/
-rw-r--r-- root/root ./usr/share/man/man1/kx-services.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/kxctl.1.gz
LIST
}

# The lines of a file that are neither comments nor blank.
effective_lines() { grep -v -e '^[[:space:]]*#' -e '^[[:space:]]*$' "$1" || true; }

contents() {
  local work=$1 deb root
  deb=$(the_deb "$work")
  root="$work/root"
  rm -rf "$root"
  dpkg-deb -x "$deb" "$root"

  echo "== files"
  diff -u <(expected_files) <(dpkg-deb -c "$deb" | awk '{ print $1, $2, $6 }') ||
    fail "the package's files differ from the expected list"

  echo "== control data"
  [ "$(dpkg-deb -f "$deb" Version)" = "$VERSION" ] || fail "version $(dpkg-deb -f "$deb" Version), not $VERSION"
  dpkg-deb -f "$deb" Depends | grep -q 'libc6 (>= ' || fail "Depends was not computed from the binaries"
  diff -u <(printf '%s\n' control md5sums postinst) \
    <(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed -n 's|^\./||p' | grep . | sort) ||
    fail "the control archive holds other maintainer scripts or files"

  echo "== udev rule and modules-load entry"
  local rule="$root/usr/lib/udev/rules.d/60-kx-services-uinput.rules"
  [ "$(effective_lines "$rule")" = 'KERNEL=="uinput", SUBSYSTEM=="misc", TAG+="uaccess", OPTIONS+="static_node=uinput"' ] ||
    fail "the udev rule reads: $(effective_lines "$rule")"
  [ "$(effective_lines "$root/usr/lib/modules-load.d/kx-services.conf")" = uinput ] ||
    fail "the modules-load entry does not name uinput alone"

  echo "== manual pages"
  local page text
  for page in kx-services kxctl; do
    # Warnings of the formatter are faults of the page.
    if ! text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/$page.1.gz" 2>"$work/man.err") ||
      [ -s "$work/man.err" ]; then
      fail "$page(1) does not render cleanly: $(cat "$work/man.err")"
    fi
    grep -q "kx-services $VERSION" <<<"$text" || fail "$page(1) does not carry version $VERSION"
  done
  for path in /usr/lib/udev/rules.d/60-kx-services-uinput.rules /usr/lib/modules-load.d/kx-services.conf; do
    if [ ! -f "$root$path" ] || ! zcat "$root/usr/share/man/man1/kx-services.1.gz" | grep -qF "${path//-/\\-}"; then
      fail "kx-services(1) does not name $path"
    fi
  done

  echo "== lintian"
  lintian --fail-on error "$deb" || fail "lintian reports errors"
  finish
}

session() {
  need_root
  local work=$1
  # A private /tmp and network: the pipes, the X server's sockets and everything started here are
  # this check's alone, and nothing of a desktop that may be running is reached.
  unshare --mount --net --propagation private "$0" session-inside "$(the_deb "$work")"
}

session_inside() {
  local deb=$1
  exec 8<"$deb" # still readable after /tmp is covered, should the build tree live there
  mount -t tmpfs -o mode=1777 tmpfs /tmp
  # Xvfb's compiled keymap is named after its display number, the same in every test's namespace.
  [ ! -d /var/lib/xkb ] || mount -t tmpfs -o mode=0755 tmpfs /var/lib/xkb
  local root=/tmp/root run=/tmp/run user=65534
  mkdir -m 755 "$root"
  dpkg-deb -x /proc/self/fd/8 "$root"
  mkdir -m 777 "$run"

  pids=()
  stop_all() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
      kill "${pids[i]}" 2>/dev/null || true
      wait "${pids[i]}" 2>/dev/null || true
    done
  }
  trap stop_all EXIT
  trap 'exit 143' TERM INT
  # A simple command, not a function: started with &, its pid is that of the program itself.
  local as_user=(setpriv --reuid="$user" --regid="$user" --clear-groups env -i PATH=/usr/bin:/bin HOME=/tmp)
  wait_for() { # SECONDS COMMAND...
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
      [ $SECONDS -lt $deadline ] || return 1
      sleep 0.1
    done
  }

  echo "== X server, window manager and a test window"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$run/display" >"$run/xvfb.err" 2>&1 &
  pids+=($!)
  wait_for 20 grep -q . "$run/display" || { cat "$run/xvfb.err"; fail "Xvfb did not start"; finish; }
  local display
  display=":$(head -1 "$run/display")"
  export DISPLAY=$display
  openbox --sm-disable >"$run/openbox.log" 2>&1 &
  pids+=($!)
  wait_for 20 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"' ||
    { fail "openbox did not come up"; finish; }
  "${as_user[@]}" DISPLAY="$display" xterm -T kx-package-check -e sleep 600 >"$run/xterm.log" 2>&1 &
  pids+=($!)
  # Mapped comes a moment before managed: the list holds what the window manager lists among its clients.
  managed() {
    local id
    id=$(xwininfo -name kx-package-check | sed -n 's/.*Window id: \(0x[0-9a-f]*\).*/\1/p')
    [ -n "$id" ] && xprop -root _NET_CLIENT_LIST | grep -qw -- "$id"
  }
  wait_for 20 managed || { fail "openbox did not manage the xterm's window"; finish; }

  echo "== kx-services and kxctl from the package, as uid $user"
  "${as_user[@]}" DISPLAY="$display" XDG_SESSION_TYPE=x11 "$root/usr/bin/kx-services" >"$run/service.out" 2>"$run/service.err" &
  local service=$!
  pids+=("$service")
  local status=0
  printf '%s\n' version 'list --json' 'shot 16 24 64 48 -o /tmp/run/shot.png' 'key down 65' 'key up 65' |
    "${as_user[@]}" "$root/usr/bin/kxctl" --timeout 10000 batch >"$run/kxctl.out" 2>"$run/kxctl.err" || status=$?
  # The service logs a key only after handling it; the last one ends the exchange.
  wait_for 10 grep -q '^KeyUp request received\.$' "$run/service.out" || fail "the service did not log the last key"
  kill -0 "$service" 2>/dev/null || fail "kx-services ended during the exchange"
  for file in service.out service.err kxctl.out kxctl.err; do
    sed "s/^/   $file: /" "$run/$file"
  done

  [ "$("$root/usr/bin/kxctl" --version)" = "kxctl $VERSION" ] || fail "kxctl --version does not say $VERSION"
  grep -q "^Linux Services Version: $VERSION " "$run/service.out" ||
    fail "the service's banner does not name version $VERSION"
  grep -q '^KeyDown request received\.$' "$run/service.out" || fail "the service did not log the key press"
  # Everything between the list command's echo and the next command's is the JSON list.
  local list
  list=$(sed -n '/^> list --json$/,/^> /{/^> /d;p}' "$run/kxctl.out")
  jq -e 'type == "array"' <<<"$list" >/dev/null || fail "kxctl list --json printed no JSON array"
  [ "$status" -eq 0 ] || fail "kxctl batch ended with status $status"
  jq -e 'any(.[]; .title == "kx-package-check" and .platform == "x11")' <<<"$list" >/dev/null ||
    fail "the list does not hold the test window"
  file /tmp/run/shot.png | grep -q 'PNG image data, 64 x 48,' || fail "the screenshot is not a 64 x 48 PNG"
  finish
}

guest() {
  local work=$1
  "$here/../harness/guest.sh" "$work/guest" "$here/guest-install.sh" "$(the_deb "$work")"
}

case $step in
  build) build "$@" ;;
  contents) contents "$@" ;;
  session) session "$@" ;;
  session-inside) session_inside "$@" ;;
  guest) mkdir -p "$1/guest" && guest "$@" ;;
  *) echo "unknown step: $step" >&2; exit 2 ;;
esac
