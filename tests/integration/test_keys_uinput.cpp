// Keys written to a real kernel's uinput device, read back as a desktop reads a keyboard. The kernel
// runs in a qemu guest: one boot runs every UinputKeysTest below, inside the guest.
#include "evdev_reader.h"
#include "key_service_test.h"
#include "uinput_guest.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <iterator>
#include <numeric>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/input.h>
#include <linux/seccomp.h>
#include <linux/uinput.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace it;
using harness::EvdevEvent;
using Lines = std::vector<std::string>;

namespace {

const char GUEST_FLAG[] = "KX_IN_UINPUT_GUEST";
const int GUEST_TIMEOUT_MS = 240000;

const std::string NOT_READY =
    "[Wayland] Can't process key action because WayLand key press functionality has "
    "not been initialized. See previous messages to see the reason.";
const std::string NO_MAP = "[Wayland] Handling key press issue: Could not map given key to key on Linux";
const std::string NO_F25 = "[WayLand] F25 - F32 keys are not supported.";
const std::vector<std::string> SESSION = {"XDG_SESSION_TYPE=wayland"};

std::string progress(int64_t keyValue, bool down) {
    return "[Wayland] Handling key press: " + std::to_string(keyValue) + " -> isDown: " + (down ? "1" : "0");
}
std::vector<EvdevEvent> keyEvent(int code, bool down) {
    return {{EV_KEY, code, down ? 1 : 0}, {EV_SYN, SYN_REPORT, 0}};
}

// From here on the kernel answers the ioctl `request` with `error` and runs every other system call:
// a device that takes the whole setup and then refuses to be created. Called between fork and exec.
void failIoctl(uint32_t request, int error) {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ioctl, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])), // its low half
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, request, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | uint32_t(error)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program = {sizeof filter / sizeof filter[0], filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        _exit(126);
}

class UinputKeysTest : public KeyServiceTest {
  protected:
    void SetUp() override {
        if (!getenv(GUEST_FLAG)) GTEST_SKIP() << "runs inside the guest of UinputGuest.RunsTheDeviceTests";
        KeyServiceTest::SetUp();
    }
    harness::EvdevReader reader;
};

} // namespace

// The host's half: boots the guest and runs the tests above in it.
TEST(UinputGuest, RunsTheDeviceTests) {
    if (getenv(GUEST_FLAG)) GTEST_SKIP();
    if (geteuid() != 0) GTEST_SKIP() << "the tests in the guest need root, as the other integration tests do";
    const std::string command = harness::selfInGuest(GUEST_FLAG, "--gtest_filter='UinputKeysTest.*'");
    ASSERT_FALSE(command.empty());
    const harness::GuestRun run = harness::runInUinputGuest(command, GUEST_TIMEOUT_MS);
    ASSERT_EQ(run.status, 0) << run.error << "\n" << run.output;
    // Proof that they ran rather than skipped.
    EXPECT_NE(run.output.find("[  PASSED  ] 3 tests."), std::string::npos) << run.output;
}

// The device as the kernel shows it, then every code of each space pressed and released: the exact
// records arrive, each key followed by its SYN_REPORT; unmapped keys write nothing.
TEST_F(UinputKeysTest, DeviceIdentityAndEveryCodeOfEachSpace) {
    reader.start("kx-services-virtual-kbd");
    startConnected(0, SESSION);
    harness::EvdevIdentity id;
    ASSERT_TRUE(reader.waitForDevice(id, TIMEOUT_MS));
    EXPECT_EQ(id.name, "kx-services-virtual-kbd");
    EXPECT_EQ(id.bus, BUS_USB);
    EXPECT_EQ(id.vendor, 0x1D6B);
    EXPECT_EQ(id.product, 0x0104);
    EXPECT_EQ(id.version, 1);
    EXPECT_EQ(id.eventTypes, (std::vector<int>{EV_SYN, EV_KEY}));
    std::vector<int> keys(KEY_MAX);
    std::iota(keys.begin(), keys.end(), 1);
    EXPECT_EQ(id.keys, keys);

    // In groups of 8 keys: a reader that falls behind by more than 64 events loses some (SYN_DROPPED),
    // which would be the reader's fault, not the service's.
    std::string burst;
    Lines out, err;
    std::vector<EvdevEvent> events;
    for (int n = 0; n < 3 * 256; ++n) {
        const KeySpace space = n < 256 ? KeySpace::VK : n < 512 ? KeySpace::VIRTUAL : KeySpace::SET1;
        const int code = n % 256;
        const int64_t value = keyValueFor(code);
        const int type = keyTypeFor(space, code);
        burst += key(true, value, type) + "\n" + key(false, value, type) + "\n";
        const int evdev = evdevOf(space, uint8_t(code));
        if (evdev < 0) {
            const bool f25 = space == KeySpace::VIRTUAL && code >= 0x88 && code <= 0x8F;
            const Lines lines = f25 ? Lines{NO_F25, NO_MAP, NO_F25, NO_MAP} : Lines{NO_MAP, NO_MAP};
            err.insert(err.end(), lines.begin(), lines.end());
        } else {
            out.insert(out.end(), {progress(value, true), progress(value, false)});
            for (const bool down : {true, false})
                for (const EvdevEvent& e : keyEvent(evdev, down))
                    events.push_back(e);
        }
        if (n % 8 != 7) continue;
        burst.pop_back();
        const Logged logged = send(burst);
        EXPECT_EQ(logged.out, out) << "codes up to " << n;
        EXPECT_EQ(logged.err, err) << "codes up to " << n;
        expectLogged(reader.events, events, "codes up to " + std::to_string(n));
        ASSERT_FALSE(HasFatalFailure());
        burst.clear();
        out.clear();
        err.clear();
        events.clear();
    }
}

// Keys left down are released when Velloran goes, the latest first, each line showing the value its
// press came with. A release of a key that is up is still written (the kernel drops it, as it drops a
// second press of a key that is down).
TEST_F(UinputKeysTest, HeldKeysAreReleasedWhenVelloranGoes) {
    reader.start("kx-services-virtual-kbd");
    startConnected(0, SESSION);
    harness::EvdevIdentity id;
    ASSERT_TRUE(reader.waitForDevice(id, TIMEOUT_MS));
    const Logged logged =
        send(key(true, 321, 1) + "\n" + key(true, 0xA0, 0) + "\n" + key(true, 0x02, 3) + "\n" +
             key(false, 0x02, 3) + "\n" + key(false, 0x42, 1) + "\n" + key(true, -191, -1));
    EXPECT_EQ(logged.out, (Lines{progress(321, true), progress(0xA0, true), progress(2, true),
                                 progress(2, false), progress(0x42, false), progress(-191, true)}));
    kx::disconnect(conn);
    ASSERT_TRUE(service.waitOut(progress(0xA0, false)));
    // Other threads (the layout follower, the focus monitors) log whenever they get going: only the key
    // lines after the goodbye are compared.
    const Lines all = service.out();
    const auto bye = std::find(all.begin(), all.end(), "Closing Communication with Velloran...");
    ASSERT_NE(bye, all.end());
    Lines keys;
    std::copy_if(bye + 1, all.end(), std::back_inserter(keys),
                 [](const std::string& l) { return l.rfind("[Wayland] Handling key press", 0) == 0; });
    EXPECT_EQ(keys, (Lines{progress(-191, false), progress(0xA0, false)}));
    std::vector<EvdevEvent> events;
    for (const auto& [code, down] : std::vector<std::pair<int, bool>>{{KEY_A, true},
                                                                      {KEY_LEFTSHIFT, true},
                                                                      {KEY_1, true},
                                                                      {KEY_1, false},
                                                                      {KEY_A, false},
                                                                      {KEY_LEFTSHIFT, false}})
        for (const EvdevEvent& e : keyEvent(code, down))
            events.push_back(e);
    expectLogged(reader.events, events);
}

// Without a virtual keyboard every key command gets the refusal line, and the rest is served: a user
// without access to /dev/uinput, device files on which creating the keyboard fails, and the real device
// refusing creation after a complete setup.
TEST_F(UinputKeysTest, WithoutAKeyboardKeysAreRefusedAndTheRestServed) {
    restart(NOBODY, SESSION);
    expectKeysRefused(
        {"[WayLand] /dev/uinput is not available for this user. Please make it writable for this user to be "
         "able "
         "to use Low Level Key Presses.",
         "[WayLand] To be able to use Low Level Key Presses, use one of these options:",
         "[WayLand] 1. Permanently, Load the uinput module (if needed) and create a udev rule to allow the "
         "'input' group.",
         "[WayLand] 2. Temporary, Load the uinput module (if needed) then use 'sudo setfacl -m u:$USER:rw "
         "/dev/uinput'"},
        NOT_READY);
    // Not a uinput device: the setup requests fail, the older setup record is written, and creation fails.
    ASSERT_EQ(mount("/dev/null", "/dev/uinput", nullptr, MS_BIND, nullptr), 0);
    restart(0, SESSION);
    expectKeysRefused(
        {"[WayLand] The virtual keyboard could not be created: UI_DEV_CREATE: Inappropriate ioctl "
         "for device"},
        NOT_READY);
    // Here the older setup record cannot be written.
    ASSERT_EQ(umount("/dev/uinput"), 0);
    ASSERT_EQ(mount("/dev/full", "/dev/uinput", nullptr, MS_BIND, nullptr), 0);
    restart(0, SESSION);
    expectKeysRefused(
        {"[WayLand] The virtual keyboard could not be created: writing the device record: No space "
         "left on device"},
        NOT_READY);
    // The real device, set up and then refused creation.
    ASSERT_EQ(umount("/dev/uinput"), 0);
    restart(0, SESSION, [] { failIoctl(UI_DEV_CREATE, EMFILE); });
    expectKeysRefused(
        {"[WayLand] The virtual keyboard could not be created: UI_DEV_CREATE: Too many open files"},
        NOT_READY);
    EXPECT_EQ(harness::readWholeFile("/proc/bus/input/devices").find("kx-services-virtual-kbd"),
              std::string::npos);
}
