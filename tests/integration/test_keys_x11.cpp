// Keys injected into a real X server, seen from outside the service as the server's raw key events.
#include "key_layout.h"
#include "key_service_test.h"
#include "key_tables.h"
#include "raw_keys.h"
#include "x_server.h"
#include "x_test_client.h"

#include <map>

using namespace it;
using harness::RawKey;
using Lines = std::vector<std::string>;

namespace {

const std::string NOT_READY = "[x11] Can't process key action because x11 key press functionality has not "
                              "been initialized. See previous messages to see the reason.";
const std::string NO_KEYSYM_VK =
    "[x11] Handling key press issue (n): Could not map given key to key on Linux";
const std::string NO_KEYSYM_VIRTUAL =
    "[x11] Handling key press issue (v): Could not map given key to key on Linux";
const std::string NO_KEYCODE = "[x11] Handling key press issue: Could not translate x11 key sym to keycode";

std::string progress(int keycode, bool down) {
    return "[x11] Handling key press: " + std::to_string(keycode) + " -> isDown: " + (down ? "1" : "0");
}

// Where Xvfb's keymap does not put a symbol on the key whose evdev code the other side names: 0 for
// a symbol on no key at all.
std::map<std::pair<KeySpace, int>, int> xvfbExceptions() {
    std::map<std::pair<KeySpace, int>, int> except = {
        {{KeySpace::VK, 0x6E}, 129}, // KP_Decimal: first found on the second keypad key
        {{KeySpace::VK, 0x6C}, 0},   // KP_Separator
        // Menu is a virtual key on the X11 side only; it is the vk Menu key.
        {{KeySpace::VIRTUAL, 0x5D}, vkToEvdev(0x5D) + X11_KEYCODE_OFFSET},
    };
    for (int code = 0x7C; code <= 0x8F; ++code) // F13 to F32
        except[{KeySpace::VIRTUAL, code}] = 0;
    return except;
}

class X11KeysTest : public KeyServiceTest {
  protected:
    void startX(const std::vector<std::string>& extraArgs = {}) {
        harness::XServerOptions options;
        options.screen = "640x480x24";
        options.windowManager = false;
        options.extraArgs = extraArgs;
        std::string error;
        ASSERT_TRUE(x.start(options, error)) << error;
    }
    void startAll() {
        startX();
        std::string error;
        ASSERT_TRUE(keys.start(x.display(), error)) << error;
        startConnected(0, {x.displayEnv(), "XDG_SESSION_TYPE=x11"});
    }

    static std::string tap(int value, int type = 1) {
        return key(true, value, type) + "\n" + key(false, value, type);
    }
    static std::vector<RawKey> taps(std::initializer_list<int> keycodes) {
        std::vector<RawKey> events;
        for (const int keycode : keycodes)
            events.insert(events.end(), {{keycode, true}, {keycode, false}});
        return events;
    }

    harness::XServer x;
    harness::RawKeyListener keys;
};

const int SENTINEL = 0x02; // set1: the 1 key, keycode 10
const RawKey SENTINEL_DOWN{10, true}, SENTINEL_UP{10, false};

} // namespace

// Every code of each space is pressed and released. A vk or virtual key lands on whichever key of the
// server's keymap carries its symbol, a set1 code on its position; under the us layout that is the
// evdev side's key (evdev code + 8), except where the table above says otherwise. The key values
// carry junk above the low byte, and vk goes by any keyType but 2 and 3.
TEST_F(X11KeysTest, EachCodeSpaceLandsOnTheEvdevSidesKeyUnderUs) {
    startAll();
    const auto except = xvfbExceptions();
    for (const KeySpace space : {KeySpace::VK, KeySpace::VIRTUAL, KeySpace::SET1}) {
        std::string burst;
        Lines out, err;
        std::vector<RawKey> events;
        for (int code = 0; code < 256; ++code) {
            const int type = keyTypeFor(space, code);
            burst += key(true, keyValueFor(code), type) + "\n" + key(false, keyValueFor(code), type) + "\n";
            const uint8_t c = uint8_t(code);
            const bool mapped = space == KeySpace::SET1 ? isSet1Code(c)
                                : space == KeySpace::VIRTUAL
                                    ? lookupKey(VIRTUAL_KEYSYMS, c, 0) != 0
                                    : (c >= 0x30 && c <= 0x39) || (c >= 0x41 && c <= 0x5A) ||
                                          lookupKey(VK_KEYSYMS, c, 0) != 0;
            const int evdev = evdevOf(space, c);
            if (!mapped) {
                const std::string why = space == KeySpace::VK        ? NO_KEYSYM_VK
                                        : space == KeySpace::VIRTUAL ? NO_KEYSYM_VIRTUAL
                                                                     : NO_KEYCODE;
                err.insert(err.end(), {why, why});
                continue;
            }
            const auto found = except.find({space, code});
            const int keycode = found != except.end() ? found->second : evdev + X11_KEYCODE_OFFSET;
            ASSERT_TRUE(found != except.end() || evdev >= 0)
                << "code " << code << ": no evdev key to compare";
            if (keycode == 0) {
                err.insert(err.end(), {NO_KEYCODE, NO_KEYCODE});
                continue;
            }
            out.insert(out.end(), {progress(keycode, true), progress(keycode, false)});
            events.insert(events.end(), {{keycode, true}, {keycode, false}});
        }
        burst += key(true, SENTINEL, 3) + "\n" + key(false, SENTINEL, 3);
        out.insert(out.end(), {progress(10, true), progress(10, false)});
        events.insert(events.end(), {SENTINEL_DOWN, SENTINEL_UP});

        const Logged logged = send(burst);
        EXPECT_EQ(logged.out, out) << "space " << int(space);
        EXPECT_EQ(logged.err, err) << "space " << int(space);
        expectLogged(keys.events, events);
    }
}

// Symbols follow the layout, positions do not, and a layout switched while the service runs applies
// to the very next command; a key held across a switch is released where it was pressed.
TEST_F(X11KeysTest, LayoutSwitchAppliesToTheNextKey) {
    startAll();
    send(tap(0x5A, 1)); // Z under us
    expectLogged(keys.events, taps({52}));
    for (const char* layout : {"de", "us", "de"}) {
        const harness::RunResult switched = x.run({"setxkbmap", layout});
        ASSERT_TRUE(switched.ok()) << layout << ": " << switched.err;
        const bool de = std::string(layout) == "de";
        // Z, Y, minus, equal (shifted 0 in German), the set1 minus position, the sentinel.
        send(tap(0x5A, 1) + "\n" + tap(0x59, 1) + "\n" + tap(0xBD, 1) + "\n" + tap(0xBB, 1) + "\n" +
             tap(0x0C, 3) + "\n" + tap(SENTINEL, 3));
        expectLogged(keys.events, de ? taps({29, 52, 61, 19, 20, 10}) : taps({52, 29, 20, 21, 20, 10}));
    }
    send(key(true, 0x5A, 1)); // Z under de
    ASSERT_TRUE(x.run({"setxkbmap", "us"}).ok());
    send(key(false, 0x5A, 1) + "\n" + tap(0x5A, 1) + "\n" + tap(SENTINEL, 3));
    expectLogged(keys.events, taps({29, 52, 10}));
}

// Two layouts in one keymap, as GNOME and KDE set X11 up: the locked group decides, and a switch (a
// state change, without a MappingNotify) applies to the very next key, either way, also one made by
// a key the service pressed; a key held across the switch is released where it was pressed.
TEST_F(X11KeysTest, TheLockedGroupOfATwoLayoutKeymapDecides) {
    startAll();
    ASSERT_TRUE(x.run({"setxkbmap", "-layout", "us,de", "-option", "grp:caps_toggle"}).ok());
    harness::XTestClient user;
    ASSERT_TRUE(user.open(x.display()));
    send(tap(0x5A) + "\n" + tap(0x59)); // Z, Y under us
    expectLogged(keys.events, taps({52, 29}));
    ASSERT_TRUE(user.lockGroup(1));
    send(tap(0x5A) + "\n" + tap(0x59) + "\n" + key(true, 0x5A, 1)); // under de, the last Z held
    expectLogged(keys.events,
                 (std::vector<RawKey>{{29, true}, {29, false}, {52, true}, {52, false}, {29, true}}));
    ASSERT_TRUE(user.lockGroup(0));
    send(key(false, 0x5A, 1) + "\n" + tap(0x5A) + "\n" + tap(SENTINEL, 3));
    expectLogged(keys.events,
                 (std::vector<RawKey>{{29, false}, {52, true}, {52, false}, SENTINEL_DOWN, SENTINEL_UP}));
    ASSERT_TRUE(user.lockGroup(1));
    send(tap(0x5A));
    expectLogged(keys.events, taps({29}));
    // Velloran presses the layout switch key itself (Caps Lock here), and the next key goes by the
    // layout it switched to.
    send(tap(0x14) + "\n" + tap(0x5A));
    expectLogged(keys.events, taps({66, 52}));
}

// One table through both backends: under each layout, every vk key of the layout lands at the X
// server on the key that the Wayland backend's rule (the layout compiled from its names) picks. A
// few keys are pinned to where a user of that layout finds them; under ru the Latin letters, which
// it lacks, keep their US positions.
TEST_F(X11KeysTest, EveryLayoutKeyLandsWhereTheWaylandRulePutsIt) {
    startAll();
    const std::map<std::pair<std::string, int>, int> pinned = {
        {{"us", 0x5A}, 52}, {{"de", 0x5A}, 29}, {{"de", 0x59}, 52}, {{"de", 0xBD}, 61},
        {{"fr", 0x41}, 24}, {{"fr", 0x51}, 38}, {{"fr", 0x4D}, 47}, {{"fr", 0x31}, 10},
        {{"fr", 0xBC}, 58}, {{"ru", 0x43}, 54}, {{"ru", 0x31}, 10},
    };
    for (const std::string layout : {"us", "de", "fr", "ru"}) {
        const harness::RunResult switched = x.run({"setxkbmap", layout});
        ASSERT_TRUE(switched.ok()) << layout << ": " << switched.err;
        const auto rule = compileLayout(layout, "", "", 0, layout);
        ASSERT_TRUE(rule) << layout;
        std::string burst;
        std::vector<RawKey> events;
        for (int vk = 0; vk < 256; ++vk) {
            if (!vkLayoutKeysym(uint8_t(vk))) continue;
            const int keycode = vkKeyUnder(rule.get(), uint8_t(vk)) + X11_KEYCODE_OFFSET;
            const auto pin = pinned.find({layout, vk});
            if (pin != pinned.end()) {
                EXPECT_EQ(keycode, pin->second) << layout << " vk " << vk;
            }
            burst += tap(vk) + "\n";
            events.insert(events.end(), {{keycode, true}, {keycode, false}});
        }
        send(burst + tap(SENTINEL, 3));
        events.insert(events.end(), {SENTINEL_DOWN, SENTINEL_UP});
        expectLogged(keys.events, events, layout);
    }
}

// A key pressed and never released is let go when Velloran goes away, the latest first; a release of
// a key that is not down is still sent; bad key commands press nothing and the next is served.
TEST_F(X11KeysTest, HeldKeysAreReleasedWhenVelloranGoes) {
    startAll();
    const Logged logged = send(key(true, 0x41, 1) + "\n" + key(true, 0xA0, 1) + "\n" + key(true, 0x02, 3) +
                               "\n" + key(false, 0x02, 3) + "\n" + key(false, 0x42, 1) + "\n" +
                               R"({"type":"keyDown","data":{"keyValue":"67","keyType":1}})" + "\n" +
                               R"({"type":"keyDown","data":{"keyValue":1e10,"keyType":1}})" + "\n" +
                               R"({"type":"keyDown","data":{"keyValue":-191.7,"keyType":1.9}})");
    EXPECT_EQ(logged.out, (Lines{progress(38, true), progress(50, true), progress(10, true),
                                 progress(10, false), progress(56, false), progress(38, true)}));
    EXPECT_EQ(logged.err,
              (Lines{"Linux Services - Invalid JSON: [json.exception.type_error.302] type must be "
                     "number, but is string",
                     NO_KEYSYM_VK}));
    kx::disconnect(conn);
    expectLogged(keys.events, (std::vector<RawKey>{{38, true},
                                                   {50, true},
                                                   {10, true},
                                                   {10, false},
                                                   {56, false},
                                                   {38, true},
                                                   {38, false},
                                                   {50, false}}));
    ASSERT_TRUE(service.waitOut("Closing Communication with Velloran..."));
    const Lines out = service.out();
    EXPECT_EQ(Lines(out.end() - 2, out.end()), (Lines{progress(38, false), progress(50, false)}));
}

TEST_F(X11KeysTest, TenThousandKeysArriveInOrder) {
    startAll();
    std::string burst;
    std::vector<RawKey> events;
    for (int i = 0; i < 5000; ++i) {
        const int letter = 0x41 + i % 26;
        burst += key(true, letter, 1) + "\n" + key(false, letter, 1) + "\n";
        const int keycode = vkToEvdev(uint8_t(letter)) + X11_KEYCODE_OFFSET;
        events.insert(events.end(), {{keycode, true}, {keycode, false}});
    }
    burst.pop_back();
    send(burst);
    expectLogged(keys.events, events);
}

// Without a usable X server the backend refuses every key with its line, and everything else is served.
TEST_F(X11KeysTest, EveryStartupFailureAndALostServerRefuseKeysOnly) {
    const auto restartOn = [&](const std::string& display, const Lines& startLines) {
        restart(0, {"DISPLAY=" + display, "XDG_SESSION_TYPE=x11"});
        expectKeysRefused(startLines, NOT_READY);
    };
    restartOn("", {"[x11] DISPLAY is not set; X11 not available.", ""});
    restartOn(":73", {"[x11] XOpenDisplay failed (DISPLAY=:73"});
    startX({"-extension", "XTEST"});
    restartOn(x.display(), {"[x11] XTest extension not available on this X server."});

    // A server lost under a running service, with a key held down: killed, or one that stops reading
    // (a stand-in), so that the next requests go into a socket no one reads.
    for (const bool killed : {true, false}) {
        SCOPED_TRACE(killed ? "killed" : "stops reading");
        startX();
        harness::XStopReadingProxy proxy;
        std::string error;
        ASSERT_TRUE(killed || proxy.start(x.display(), error)) << error;
        const std::string display = killed ? x.display() : proxy.display();
        restart(0, {"DISPLAY=" + display, "XDG_SESSION_TYPE=x11"});
        harness::XTestClient client;
        ASSERT_TRUE(client.open(x.display()));
        const auto activate = [&](const char* title) {
            client.setActiveWindow(client.createWindow(
                {{"_NET_WM_PID", harness::cardinal(getpid())}, {"_NET_WM_NAME", harness::text(title)}}));
        };
        // The focus monitor's first report shows it follows this server; killed before it connects,
        // the server would never be its to lose.
        activate("followed");
        nlohmann::json report;
        ASSERT_TRUE(kx::awaitMessage(conn, "applicationChanged", report, TIMEOUT_MS));
        EXPECT_EQ(send(key(true, 0x41, 1)).out, Lines{progress(38, true)});
        if (killed) {
            client.close();
            x.killServer();
        } else {
            proxy.stopReading();
            activate("unseen"); // the focus monitor's next look
            send(key(false, 0x41, 1));
        }
        // The focus monitor says once that it lost the server; the key commands are the subject here.
        ASSERT_TRUE(service.waitErr("[x11] Lost the X display " + display +
                                    "; following focus again once it can be opened (tried every 2 seconds)."));
        errSeen = service.err().size();
        expectKeysRefused({}, NOT_READY);
        kx::disconnect(conn);
        ASSERT_TRUE(service.waitOut("Closing Communication with Velloran..."));
        sleepMs(SETTLE_MS);
        EXPECT_TRUE(service.running());
    }
}
