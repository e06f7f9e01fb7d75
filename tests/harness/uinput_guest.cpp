#include "uinput_guest.h"

#include "process.h"

#include <fstream>
#include <sstream>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace harness {

namespace {

// What the initramfs needs to mount the host's root over virtio-9p with an overlay on top. Some may be
// built in; those are left out.
const char* const MODULES[] = {"virtio_ring",
                               "virtio",
                               "virtio_pci_legacy_dev",
                               "virtio_pci_modern_dev",
                               "virtio_pci",
                               "9pnet",
                               "9pnet_virtio",
                               "netfs",
                               "fscache",
                               "9p",
                               "overlay"};

const char INIT[] = R"(#!/bin/busybox sh
b=/bin/busybox
$b mount -t proc proc /proc; $b mount -t sysfs sys /sys; $b mount -t devtmpfs dev /dev
for m in $(cat /modules/order); do $b insmod /modules/$m.ko; done
opts=trans=virtio,version=9p2000.L,msize=512000
i=0
until $b mount -t 9p -o $opts,ro hostroot /lower 2>/dev/null; do
  i=$((i + 1)); [ $i -gt 200 ] && { echo "KX-GUEST: no host root"; $b poweroff -f; }; $b sleep 0.05
done
$b mount -t tmpfs tmpfs /rw && $b mkdir /rw/upper /rw/work
$b mount -t overlay overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work /newroot
$b mount -t proc proc /newroot/proc; $b mount -t sysfs sys /newroot/sys
$b mount -t devtmpfs dev /newroot/dev; $b mkdir -p /newroot/dev/pts; $b mount -t devpts pts /newroot/dev/pts
$b mount -t tmpfs tmpfs /newroot/run; $b mkdir -p /newroot/kx-share
$b mount -t 9p -o $opts kxshare /newroot/kx-share
echo "KX-GUEST: booted"
$b chroot /newroot /bin/sh -c 'modprobe uinput && modprobe evdev && . /kx-share/run.sh' >/newroot/kx-share/output 2>&1
echo $? >/newroot/kx-share/status
$b sync
$b poweroff -f
)";

std::string slurp(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// The newest kernel in /boot whose modules include uinput.
std::string kernelVersion() {
    std::string best;
    if (DIR* dir = opendir("/lib/modules")) {
        while (const dirent* entry = readdir(dir)) {
            const std::string version = entry->d_name;
            if (exists("/boot/vmlinuz-" + version) &&
                exists("/lib/modules/" + version + "/kernel/drivers/input/misc/uinput.ko") && version > best)
                best = version;
        }
        closedir(dir);
    }
    return best;
}

// Builds the initramfs in dir/initramfs.cpio; "" or why not.
std::string buildInitramfs(const std::string& dir, const std::string& version) {
    const std::string root = dir + "/root";
    for (const char* sub : {"", "/bin", "/modules", "/proc", "/sys", "/dev", "/lower", "/rw", "/newroot"})
        mkdir((root + sub).c_str(), 0755);
    std::ofstream(root + "/init") << INIT;
    chmod((root + "/init").c_str(), 0755);
    std::string order;
    for (const char* module : MODULES) {
        const RunResult found = run(
            {"find", "/lib/modules/" + version + "/kernel", "-name", std::string(module) + ".ko"}, baseEnv());
        const std::string path = found.out.substr(0, found.out.find('\n'));
        if (path.empty()) continue; // built into the kernel
        if (!run({"cp", path, root + "/modules/"}, baseEnv()).ok()) return "cannot copy " + path;
        order += std::string(module) + "\n";
    }
    std::ofstream(root + "/modules/order") << order;
    if (!run({"cp", "/bin/busybox", root + "/bin/busybox"}, baseEnv()).ok())
        return "no /bin/busybox (install busybox-static)";
    const RunResult cpio = run(
        {"sh", "-c", "cd '" + root + "' && find . | cpio -o -H newc --quiet > ../initramfs.cpio"}, baseEnv());
    return cpio.ok() ? "" : "cpio failed: " + cpio.err;
}

} // namespace

GuestRun runInUinputGuest(const std::string& command, int timeoutMs) {
    GuestRun result;
    const std::string version = kernelVersion();
    if (version.empty()) {
        result.error = "no kernel in /boot with uinput among its modules (install linux-image-amd64)";
        return result;
    }
    char dirTemplate[] = "/tmp/kx-guest-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        result.error = "mkdtemp failed";
        return result;
    }
    const std::string dir = dirTemplate;
    const std::string share = dir + "/share";
    mkdir(share.c_str(), 0755);
    std::ofstream(share + "/run.sh") << command << "\n";
    result.error = buildInitramfs(dir, version);
    if (result.error.empty()) {
        Process qemu;
        SpawnOptions options;
        options.env = baseEnv();
        options.outPath = dir + "/console";
        options.errPath = dir + "/console.err";
        const bool started = qemu.start({"qemu-system-x86_64",
                                         "-accel",
                                         "tcg",
                                         "-cpu",
                                         "max",
                                         "-m",
                                         "1024",
                                         "-smp",
                                         "2",
                                         "-nographic",
                                         "-no-reboot",
                                         "-nic",
                                         "none",
                                         "-kernel",
                                         "/boot/vmlinuz-" + version,
                                         "-initrd",
                                         dir + "/initramfs.cpio",
                                         "-append",
                                         "console=ttyS0 quiet panic=-1",
                                         "-virtfs",
                                         "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,"
                                         "multidevs=remap",
                                         "-virtfs",
                                         "local,path=" + share + ",mount_tag=kxshare,security_model=none"},
                                        options, &result.error);
        const int waitStatus = started ? qemu.wait(timeoutMs) : -1;
        const bool ended = waitStatus != -1;
        qemu.stop(0);
        result.output = slurp(share + "/output");
        const std::string status = slurp(share + "/status");
        const std::string console = slurp(dir + "/console") + slurp(dir + "/console.err");
        if (!status.empty()) {
            result.status = std::stoi(status);
            result.error.clear();
        } else if (ended && WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 127) {
            result.error = "qemu-system-x86_64 could not be started (install qemu-system-x86)";
        } else if (started) {
            result.error =
                std::string(!ended
                                ? "the guest did not finish within " + std::to_string(timeoutMs / 1000) + " s"
                                : "the guest stopped without a result") +
                (console.find("KX-GUEST: booted") == std::string::npos ? " and never booted" : "") +
                "; its console said:\n" + console.substr(console.size() > 4000 ? console.size() - 4000 : 0);
        }
    }
    run({"rm", "-rf", dir}, baseEnv());
    return result;
}

} // namespace harness
