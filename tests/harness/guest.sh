#!/usr/bin/env bash
# Runs a command as root in a qemu guest booted with this machine's Debian kernel, whose root file
# system is this machine's own, shared read-only and covered by a throw-away tmpfs overlay: the
# command meets a real kernel (uinput, udev events, ACLs on device nodes) and may change anything.
# Usage: guest.sh WORK_DIR COMMAND [ARG...]    (paths as seen on this machine)
# The command's output comes out on standard output, the guest's own complaints on standard error. It
# exits with the command's status; 124 when the guest did not finish within KX_GUEST_TIMEOUT seconds
# (default 600), 125 when it did not come up.
# The one guest of the tests: the package's udev checks and the key tests' uinput device use it.
set -euo pipefail
work=$1
limit=${KX_GUEST_TIMEOUT:-600}
shift
[ $# -ge 1 ] || { echo "usage: guest.sh WORK_DIR COMMAND [ARG...]" >&2; exit 2; }

kver=
for dir in /lib/modules/*; do
  [ -e "/boot/vmlinuz-${dir##*/}" ] && kver=${dir##*/}
done
[ -n "$kver" ] || { echo "guest: no kernel in /boot with modules in /lib/modules" >&2; exit 125; }

# Built afresh each run (a second or two): this script may run as bash -c TEXT, with no file to key a
# cache on.
initramfs="$work/initramfs.cpio.gz"
mkdir -p "$work"
{
  tree="$work/initramfs"
  rm -rf "$tree"
  mkdir -p "$tree"/{bin,modules,dev,proc,sys,host,upper,newroot}
  cp /bin/busybox "$tree/bin/busybox"
  # Virtio PCI, the 9p share and overlayfs, in load order; what the kernel has built in is skipped.
  modprobe --set-version "$kver" --show-depends -a virtio_pci 9pnet_virtio 9p overlay |
    awk '$1 == "insmod" && !seen[$2]++ { print $2 }' | while read -r ko; do
      name=$(basename "$ko")
      case $ko in
        *.xz) name=${name%.xz}; xz -dc "$ko" >"$tree/modules/$name" ;;
        *.zst) name=${name%.zst}; zstd -qdc "$ko" >"$tree/modules/$name" ;;
        *) cp "$ko" "$tree/modules/" ;;
      esac
      echo "$name" >>"$tree/modules/order"
    done
  cat >"$tree/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t devtmpfs devtmpfs /dev
mount -t proc proc /proc
mount -t sysfs sysfs /sys
while read -r m; do insmod "/modules/$m" || echo "guest: insmod $m failed"; done </modules/order
tries=0
until mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000,cache=loose hostroot /host 2>/dev/null; do
  tries=$((tries + 1))
  [ $tries -lt 50 ] || { echo "guest: the host's root did not appear"; poweroff -f; }
  sleep 0.1
done
mount -t tmpfs tmpfs /upper
mkdir -p /upper/data /upper/work
mount -t overlay overlay -o lowerdir=/host,upperdir=/upper/data,workdir=/upper/work /newroot
mount -t proc proc /newroot/proc
mount -t sysfs sysfs /newroot/sys
mount -t devtmpfs devtmpfs /newroot/dev
mkdir -p /newroot/dev/pts
mount -t devpts devpts /newroot/dev/pts
mount -t tmpfs -o mode=0755 tmpfs /newroot/run
mkdir /newroot/run/kx-guest
cp /bin/busybox /newroot/run/kx-guest/
cat >/newroot/run/kx-guest/stage2 <<'STAGE2'
echo KX-GUEST-BEGIN
IFS=,
set -- $KX_GUEST_COMMAND
unset IFS
/usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"
echo "KX-GUEST-STATUS=$?"
/run/kx-guest/busybox poweroff -f
STAGE2
# A root switched to rather than a chroot: udevadm ignores requests made from a chroot.
exec switch_root /newroot /run/kx-guest/busybox sh /run/kx-guest/stage2
INIT
  chmod 755 "$tree/init"
  (cd "$tree" && find . | cpio -o -H newc --quiet | gzip -1) >"$initramfs"
}

# The command's words travel on the kernel command line, which reaches /init as its environment.
for word in "$@"; do
  case $word in
    *[[:space:],]* | '') echo "guest: arguments must be words without blanks or commas: '$word'" >&2; exit 2 ;;
  esac
done
console="$work/console.log"
status=0
# TCG: nested KVM is not dependable on build machines.
timeout --kill-after=10 "$limit" qemu-system-x86_64 -accel tcg -cpu max -m 1024 -smp 2 -nographic -no-reboot -nic none \
  -kernel "/boot/vmlinuz-$kver" -initrd "$initramfs" \
  -append "console=ttyS0 quiet panic=-1 KX_GUEST_COMMAND=$(IFS=,; echo "$*")" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  </dev/null >"$console" 2>&1 || status=$?
tr -d '\r' <"$console" | sed -n '/KX-GUEST-BEGIN$/,$p' | grep -v 'KX-GUEST-' || true
result=$(tr -d '\r' <"$console" | sed -n 's/.*KX-GUEST-STATUS=\([0-9]*\)$/\1/p' | tail -1)
if [ -n "$result" ]; then exit "$result"; fi
booted=$(grep -c 'KX-GUEST-BEGIN' "$console" || true)
tail=$(tr -d '\r' <"$console" | tail -n 40)
if [ "$status" = 124 ]; then
  echo "guest: no result within $limit s$([ "$booted" = 0 ] && echo ', and it never booted'); its console ended:" >&2
  echo "$tail" >&2
  exit 124
fi
if [ "$status" = 127 ]; then
  echo "guest: qemu-system-x86_64 could not be started (install qemu-system-x86)" >&2
  exit 125
fi
echo "guest: the guest ended without a result (qemu status $status); its console ended:" >&2
echo "$tail" >&2
exit 125
