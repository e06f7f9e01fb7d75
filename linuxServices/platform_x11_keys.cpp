// Key injection on X11: vk and virtual codes become keysyms, which the server's current keymap turns
// into keycodes; set1 codes are keycodes already. Each command is one XTest event, sent at once.
// The vk keys of the layout (letters, digits, punctuation) go by the keymap's locked group, the
// layout the user switched to; the others by Xlib's lookup, as ever.
#include "held_keys.h"
#include "key_layout.h"
#include "key_tables.h"
#include "platform_common.h"
#include "platform_x11.h"
#include "x11_display.h"

#include <cstdlib>
#include <vector>

#include <X11/XKBlib.h>
#include <X11/Xlib-xcb.h>
#include <X11/extensions/XTest.h>
#include <xkbcommon/xkbcommon-x11.h>

namespace {

const char NOT_READY[] = "[x11] Can't process key action because x11 key press functionality has not been "
                         "initialized. See previous messages to see the reason.";

// The key connection: the command reader's alone once x11_init has run on the main thread.
Display* g_dpy = nullptr;
bool g_ready = false;
HeldKeys g_held;

// The server's keymap and its locked group, as the layout keys see them. Kept up to date from the
// XKB events the key connection selects, so that a key costs no round trip: a group switch comes
// as a state change alone, with no MappingNotify.
struct ServerLayout {
    int xkbEvent = -1; // the XKB extension's event code; -1 without XKB (keys then go by Xlib alone)
    int32_t device = -1;
    std::unique_ptr<xkb_context, void (*)(xkb_context*)> context{nullptr, xkb_context_unref};
    std::shared_ptr<xkb_keymap> keymap;
    uint32_t group = 0;
    bool keymapChanged = true, groupChanged = true;
    std::shared_ptr<const ActiveLayout> active;
    // Keys that switch the group, by keycode. Pressed through this connection, the switch they cause
    // reaches it only once the server has handled the press: the next key waits for it (one round
    // trip, after such keys only), or it would still go by the old layout.
    std::vector<bool> switchKeys;
    bool awaitSwitch = false;
};
ServerLayout g_layout;

void followServerLayout() {
    int opcode = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
    xcb_connection_t* xcb = XGetXCBConnection(g_dpy);
    if (!XkbQueryExtension(g_dpy, &opcode, &g_layout.xkbEvent, &error, &major, &minor) ||
        !xkb_x11_setup_xkb_extension(xcb, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                     XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr,
                                     nullptr)) {
        g_layout.xkbEvent = -1;
        logOut("[x11] The X server has no XKB: keys follow the first layout of its keymap.");
        return;
    }
    const unsigned maps = XkbNewKeyboardNotifyMask | XkbMapNotifyMask;
    XkbSelectEvents(g_dpy, XkbUseCoreKbd, maps, maps);
    XkbSelectEventDetails(g_dpy, XkbUseCoreKbd, XkbStateNotify, XkbGroupLockMask, XkbGroupLockMask);
    g_layout.device = xkb_x11_get_core_keyboard_device_id(xcb);
    g_layout.context.reset(xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES));
}

std::vector<bool> findSwitchKeys(xkb_keymap* keymap) {
    std::vector<bool> keys;
    if (!keymap) return keys;
    keys.resize(xkb_keymap_max_keycode(keymap) + 1);
    for (xkb_keycode_t kc = xkb_keymap_min_keycode(keymap); kc < keys.size(); ++kc)
        for (xkb_layout_index_t layout = 0; layout < xkb_keymap_num_layouts_for_key(keymap, kc); ++layout)
            for (xkb_level_index_t level = 0; level < xkb_keymap_num_levels_for_key(keymap, kc, layout);
                 ++level) {
                const xkb_keysym_t* syms = nullptr;
                const int n = xkb_keymap_key_get_syms_by_level(keymap, kc, layout, level, &syms);
                for (int i = 0; i < n; ++i)
                    if (syms[i] >= XKB_KEY_ISO_Group_Lock && syms[i] <= XKB_KEY_ISO_Last_Group_Lock)
                        keys[kc] = true;
            }
    return keys;
}

// A changed keymap is read again (one round trip, once per change), with the group locked then.
void renewLayout() {
    if (g_layout.xkbEvent < 0 || !g_layout.context) return;
    if (g_layout.keymapChanged) {
        g_layout.keymapChanged = false;
        g_layout.groupChanged = true;
        g_layout.keymap.reset(xkb_x11_keymap_new_from_device(g_layout.context.get(), XGetXCBConnection(g_dpy),
                                                             g_layout.device, XKB_KEYMAP_COMPILE_NO_FLAGS),
                              xkb_keymap_unref);
        g_layout.switchKeys = findSwitchKeys(g_layout.keymap.get());
        XkbStateRec state{};
        if (XkbGetState(g_dpy, XkbUseCoreKbd, &state) == Success) g_layout.group = state.locked_group;
    }
    if (g_layout.groupChanged) {
        g_layout.groupChanged = false;
        g_layout.active = makeActiveLayout(g_layout.keymap, g_layout.group, "");
    }
}

// A lost server leaves the connection open but useless; its keys went with it.
bool usable() {
    return g_ready && g_dpy && !x11_connectionLost(g_dpy);
}

// Xlib keeps the keymap it read first and renews it only when the connection reads a MappingNotify
// or an XKB map change. Unread, they would leave a layout switched with setxkbmap resolving keysyms
// to the old layout's keys. Reading also notices a server that is gone.
void takeInMappingChanges() {
    if (g_layout.awaitSwitch) XSync(g_dpy, False);
    g_layout.awaitSwitch = false;
    while (XPending(g_dpy) > 0) {
        XEvent event;
        XNextEvent(g_dpy, &event);
        if (event.type == MappingNotify) {
            XRefreshKeyboardMapping(&event.xmapping);
            g_layout.keymapChanged = true;
        } else if (event.type == g_layout.xkbEvent) {
            const XkbEvent& xkb = reinterpret_cast<const XkbEvent&>(event);
            if (xkb.any.xkb_type == XkbStateNotify) {
                g_layout.group = uint32_t(xkb.state.locked_group);
                g_layout.groupChanged = true;
            } else {
                XRefreshKeyboardMapping(&event.xmapping);
                g_layout.keymapChanged = true;
            }
        }
    }
    renewLayout();
}

void sendKey(int xkc, int32_t keyValue, bool isDown, int source = -1) {
    logOut("[x11] Handling key press: " + std::to_string(xkc) + " -> isDown: " + (isDown ? "1" : "0"));
    XTestFakeKeyEvent(g_dpy, unsigned(xkc), isDown ? True : False, CurrentTime);
    XFlush(g_dpy);
    noteKeyEvent(g_held, xkc, keyValue, isDown, source);
    if (size_t(xkc) < g_layout.switchKeys.size() && g_layout.switchKeys[size_t(xkc)])
        g_layout.awaitSwitch = true;
}

// The X11 side of the key tables: a keysym (NoSymbol when unmapped), or for set1 a keycode (0).
KeySym vkToKeysym(uint8_t vk) {
    if (vk >= 0x41 && vk <= 0x5A) return vk; // XK_A to XK_Z
    if (vk >= 0x30 && vk <= 0x39) {
        const char digit[2] = {char(vk), '\0'};
        return XStringToKeysym(digit);
    }
    return KeySym(lookupKey(VK_KEYSYMS, vk, NoSymbol));
}

KeySym virtualToKeysym(uint8_t code) {
    return KeySym(lookupKey(VIRTUAL_KEYSYMS, code, NoSymbol));
}

int set1ToX11Keycode(uint8_t sc) {
    return isSet1Code(sc) ? sc + X11_KEYCODE_OFFSET : 0;
}

} // namespace

void x11_init() {
    if (g_ready) return;
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        logErr("[x11] DISPLAY is not set; X11 not available.\n");
        return;
    }
    g_dpy = x11_openDisplay();
    if (!g_dpy) {
        logErr("[x11] XOpenDisplay failed (DISPLAY=" + printable(display));
        return;
    }
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(g_dpy, &eventBase, &errorBase, &major, &minor)) {
        logErr("[x11] XTest extension not available on this X server.");
        x11_closeDisplay(g_dpy);
        g_dpy = nullptr;
        return;
    }
    followServerLayout();
    g_ready = true;
}

void x11_simulateKey(int32_t keycodeRaw, int32_t keyType, bool isDown) {
    if (!usable()) {
        logErr(NOT_READY);
        return;
    }
    const uint8_t vk = narrowKeyValue(keycodeRaw);
    const KeySpace space = keySpaceOf(keyType);
    KeySym ks = NoSymbol;
    if (space != KeySpace::SET1) {
        ks = space == KeySpace::VIRTUAL ? virtualToKeysym(vk) : vkToKeysym(vk);
        if (ks == NoSymbol) {
            logErr(space == KeySpace::VIRTUAL
                       ? "[x11] Handling key press issue (v): Could not map given key to key on Linux"
                       : "[x11] Handling key press issue (n): Could not map given key to key on Linux");
            return;
        }
    }
    takeInMappingChanges();
    // A release goes to the key its press went to, though a layout switch may have moved the symbol
    // since: looked up again, it would let go of another key and leave the pressed one down.
    const int source = keySource(space, vk);
    const int pressed = isDown ? -1 : heldKeyFrom(g_held, source);
    const bool layoutKey = space == KeySpace::VK && g_layout.active && vkLayoutKeysym(vk);
    const int xkc = x11_connectionLost(g_dpy) ? 0
                    : pressed > 0             ? pressed
                    : space == KeySpace::SET1 ? set1ToX11Keycode(vk)
                    : layoutKey               ? vkKeyUnder(g_layout.active.get(), vk) + X11_KEYCODE_OFFSET
                                              : XKeysymToKeycode(g_dpy, ks);
    // The server may be found gone while the events are read, or while the keymap is.
    if (x11_connectionLost(g_dpy)) {
        logErr(NOT_READY);
        return;
    }
    if (xkc <= 0) {
        logErr("[x11] Handling key press issue: Could not translate x11 key sym to keycode");
        return;
    }
    sendKey(xkc, keycodeRaw, isDown, source);
}

void x11_releaseHeldKeys() {
    for (const HeldKey& held : takeHeldKeys(g_held)) {
        if (!usable()) return;
        sendKey(held.key, held.keyValue, false);
    }
}
