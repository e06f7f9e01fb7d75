// Key injection below the display server: a virtual keyboard made through /dev/uinput, which the
// desktop reads like any other keyboard. Keys are key positions of a US keyboard (evdev codes).
#include "held_keys.h"
#include "key_layout.h"
#include "key_tables.h"
#include "platform_common.h"
#include "platform_wayland.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

const char NOT_READY[] = "[Wayland] Can't process key action because WayLand key press functionality has not "
                         "been initialized. See previous messages to see the reason.";
const char DEVICE_NAME[] = "kx-services-virtual-kbd";

// The device file, open from wayland_init on; -1 when there is no virtual keyboard. Used by the
// command reader thread only once wayland_init has run on the main thread.
int g_uinp = -1;
HeldKeys g_held;

template <typename Setup> void describeDevice(Setup& setup) {
    std::strncpy(setup.name, DEVICE_NAME, UINPUT_MAX_NAME_SIZE - 1);
    setup.id.bustype = BUS_USB;
    setup.id.vendor = 0x1D6B;
    setup.id.product = 0x0104;
    setup.id.version = 1;
}

// Events written to a device file with no device behind it would vanish without a word, and every
// key command would still claim to press its key.
void creationFailed(const char* step) {
    logErr(std::string("[WayLand] The virtual keyboard could not be created: ") + step + ": " +
           std::strerror(errno));
    close(g_uinp);
    g_uinp = -1;
}

int emit(int type, int code, int val) {
    input_event ev{};
    ev.type = uint16_t(type);
    ev.code = uint16_t(code);
    ev.value = val;
    return write(g_uinp, &ev, sizeof ev) < 0 ? -1 : 0;
}

void sendKey(int code, int32_t keyValue, bool isDown) {
    logOut("[Wayland] Handling key press: " + std::to_string(keyValue) +
           " -> isDown: " + (isDown ? "1" : "0"));
    emit(EV_KEY, code, isDown ? 1 : 0);
    emit(EV_SYN, SYN_REPORT, 0);
    noteKeyEvent(g_held, code, keyValue, isDown);
}

} // namespace

void wayland_init() {
    logOut("[WayLand] initializing WayLand compatibility...");
    g_uinp = open("/dev/uinput", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (g_uinp < 0) {
        logErr(
            "[WayLand] /dev/uinput is not available for this user. Please make it writable for this user to "
            "be able to use Low Level Key Presses.");
        logErr("[WayLand] To be able to use Low Level Key Presses, use one of these options:");
        logErr("[WayLand] 1. Permanently, Load the uinput module (if needed) and create a udev rule to allow "
               "the "
               "'input' group.");
        logErr("[WayLand] 2. Temporary, Load the uinput module (if needed) then use 'sudo setfacl -m "
               "u:$USER:rw /dev/uinput'");
        return;
    }
    ioctl(g_uinp, UI_SET_EVBIT, EV_KEY);
    ioctl(g_uinp, UI_SET_EVBIT, EV_SYN);
    for (int key = 1; key <= KEY_MAX; ++key)
        ioctl(g_uinp, UI_SET_KEYBIT, key);

    uinput_setup setup{};
    describeDevice(setup);
    if (ioctl(g_uinp, UI_DEV_SETUP, &setup) != 0) {
        // Kernels before 4.5 take the older record, written to the device file.
        uinput_user_dev record{};
        describeDevice(record);
        if (write(g_uinp, &record, sizeof record) < 0) {
            creationFailed("writing the device record");
            return;
        }
    }
    if (ioctl(g_uinp, UI_DEV_CREATE) != 0) {
        creationFailed("UI_DEV_CREATE");
        return;
    }
    // Gives the desktop time to open the new keyboard before its first key.
    usleep(100000);
}

void wayland_simulateKey(int32_t keycode, int32_t keyType, bool isDown) {
    if (g_uinp < 0) {
        logErr(NOT_READY);
        return;
    }
    const uint8_t vk = narrowKeyValue(keycode);
    int code = -1;
    switch (keySpaceOf(keyType)) {
    case KeySpace::SET1:
        code = set1ToEvdev(vk);
        break;
    case KeySpace::VIRTUAL:
        code = virtualToEvdev(vk);
        break;
    case KeySpace::VK: {
        code = vkToEvdev(vk);
        const uint32_t keysym = vkLayoutKeysym(vk);
        const auto layout = keysym ? activeLayout() : nullptr;
        const uint32_t keycode = layout ? keycodeForKeysym(*layout, keysym) : 0;
        if (keycode) code = int(keycode) - 8;
        break;
    }
    }
    if (code < 0) {
        logErr("[Wayland] Handling key press issue: Could not map given key to key on Linux");
        return;
    }
    sendKey(code, keycode, isDown);
}

void wayland_releaseHeldKeys() {
    for (const HeldKey& held : takeHeldKeys(g_held)) {
        if (g_uinp < 0) return;
        sendKey(held.key, held.keyValue, false);
    }
}
