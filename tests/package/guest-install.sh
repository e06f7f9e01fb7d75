#!/bin/sh
# Inside a guest (guest.sh): installs the package on a system whose udev runs, and follows the
# access to /dev/uinput through installation, the next boot's module loading and removal.
# Usage: guest-install.sh PACKAGE.deb
set -eu
deb=$1
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
active_uid=65534  # the user of the active session on seat0
other_uid=4242    # a user without a session
# Opens the device for writing, as the kx-services process of that user would.
can_write() { setpriv --reuid="$1" --regid="$1" --clear-groups sh -c 'exec 3>/dev/uinput' 2>/dev/null; }

# The login manager is not running here: this stands in for its record of the active session on
# seat0, which is all that udev's uaccess handling reads from it.
mkdir -p /run/systemd/seats
printf 'ACTIVE=c1\nACTIVE_UID=%s\n' "$active_uid" >/run/systemd/seats/seat0

/lib/systemd/systemd-udevd --daemon
modprobe uinput
udevadm settle
can_write "$active_uid" && fail "the session's user could write /dev/uinput before the package was installed"

echo "== $(date +%T) dpkg -i, with the uinput module loaded and udev running"
# man-db's trigger would rebuild the whole manual page index, minutes in an emulated guest.
rm -f /var/lib/man-db/auto-update
dpkg -i "$deb" || fail "dpkg -i failed"
can_write "$active_uid" || fail "after installation the session's user cannot write /dev/uinput"
can_write "$other_uid" && fail "a user without the seat's session can write /dev/uinput"
for program in kx-services kxctl; do
  [ -x "/usr/bin/$program" ] || fail "$program is not installed in /usr/bin"
done

echo "== $(date +%T) udevadm test on the uinput device"
udevadm test --action=add /sys/devices/virtual/misc/uinput >/tmp/udev-test.log 2>&1 ||
  fail "udevadm test failed"
grep -q '^Reading rules file: .*/60-kx-services-uinput.rules$' /tmp/udev-test.log ||
  fail "udevadm did not read the rule file"
if grep -i 'kx-services-uinput.rules.*\(invalid\|error\|ignoring\)' /tmp/udev-test.log; then
  fail "udevadm finds fault with the rule"
fi
grep -q '^TAGS=.*:uaccess:' /tmp/udev-test.log || fail "the device is not tagged uaccess"

echo "== $(date +%T) the next boot: the module loaded from modules-load.d"
rmmod uinput || fail "uinput cannot be unloaded"
udevadm settle
/lib/systemd/systemd-modules-load || fail "systemd-modules-load failed"
udevadm settle
[ -e /sys/devices/virtual/misc/uinput ] || fail "modules-load.d did not load uinput"
can_write "$active_uid" || fail "the session's user cannot write the device of a freshly loaded module"

echo "== $(date +%T) the static node before the module is loaded"
rmmod uinput || fail "uinput cannot be unloaded"
udevadm control --exit
kmod static-nodes --format=tmpfiles --output=/run/tmpfiles.d/static-nodes.conf
systemd-tmpfiles --prefix=/dev --create --boot
[ -c /dev/uinput ] || fail "no static node for uinput"
/lib/systemd/systemd-udevd --daemon
udevadm settle
# The login manager grants access to the static nodes that udev lists under this tag.
[ -L /run/udev/static_node-tags/uaccess/uinput ] || fail "the static node is not tagged uaccess"

echo "== $(date +%T) dpkg -r"
dpkg -r kx-services || fail "dpkg -r failed"
for path in /usr/bin/kx-services /usr/bin/kxctl /usr/lib/udev/rules.d/60-kx-services-uinput.rules \
  /usr/lib/modules-load.d/kx-services.conf; do
  [ ! -e "$path" ] || fail "$path is left after removal"
done
udevadm control --exit

[ "$failures" -eq 0 ] && echo "guest: all checks passed"
exit "$failures"
