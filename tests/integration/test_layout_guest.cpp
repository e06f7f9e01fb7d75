// Keys typed where the characters arrive: sway, inside the qemu guest, reads the service's virtual
// keyboard through libinput, and wev prints the keysyms its window receives. The layout is sway's, set
// and switched over its IPC; the service learns it from sway, or from the settings a GNOME session or the
// system keeps. One boot runs every SwayLayoutTest below (sway_guest.sh starts sway and wev first).
#include "evdev_reader.h"
#include "key_service_test.h"
#include "kwin.h"
#include "script_process.h"
#include "session_bus.h"
#include "uinput_guest.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include <linux/input.h>
#include <unistd.h>

using namespace it;
using Syms = std::vector<std::string>;

namespace {

const char GUEST_FLAG[] = "KX_IN_SWAY_GUEST";
const int GUEST_TIMEOUT_MS = 420000;
// The keyboard appears in sway 0.3-0.7 s after its creation on an idle machine; a guest under TCG on a
// loaded one is many times slower.
const int SWAY_MS = 60000;
const std::string IDENTIFIER = "7531:260:kx-services-virtual-kbd";
const int VK_LCONTROL = 0xA2, VK_OEM_MINUS = 0xBD;

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return std::string(name) + "=" + (value ? value : "");
}

std::string follows(const std::string& what) {
    return "[Layout] Keys follow the keyboard layout " + what;
}

class SwayLayoutTest : public KeyServiceTest {
  protected:
    // Press and release of each vk code in turn; a chord holds the first key over a tap of the second.
    static std::string taps(const std::vector<int>& codes, int type = 1) {
        std::string text;
        for (const int code : codes)
            text += key(true, code, type) + "\n" + key(false, code, type) + "\n";
        return text;
    }
    static std::string chord(int held, int code) {
        return key(true, held, 1) + "\n" + taps({code}) + key(false, held, 1) + "\n";
    }

    void SetUp() override {
        if (!getenv(GUEST_FLAG)) GTEST_SKIP() << "runs inside the guest of SwayGuest.RunsTheLayoutTests";
        KeyServiceTest::SetUp();
        wevLog = getenv("KX_WEV_LOG");
        wevSeen = harness::readWholeFile(wevLog).size();
    }

    static std::vector<std::string> swayEnv() {
        std::vector<std::string> all = harness::baseEnv();
        all.push_back(env("SWAYSOCK"));
        return all;
    }
    // A command to sway over its IPC; a failure names sway's answer. sway 1.7 in the guest has once
    // answered a valid `input` command with "Unknown/invalid command" for its last word, and taken it the
    // next time: a refused command is sent again, twice at most.
    void sway(const std::string& command) {
        harness::RunResult r;
        for (int attempt = 0; attempt < 3 && !(r = harness::run({"swaymsg", command}, swayEnv())).ok();
             ++attempt)
            harness::sleepMs(200);
        ASSERT_TRUE(r.ok()) << command << ": " << r.out << r.err;
    }
    bool keyboardInSway() {
        return harness::run({"swaymsg", "-t", "get_inputs"}, swayEnv()).out.find(IDENTIFIER) !=
               std::string::npos;
    }

    // A service with `session` whose virtual keyboard sway reads: a previous one's keyboard must have
    // gone from sway first, since both carry the same name.
    void startService(const std::vector<std::string>& session) {
        if (service.running()) {
            kx::disconnect(conn);
            service.kill();
            ASSERT_TRUE(harness::run({"rm", "-rf", PIPE_DIR}, harness::baseEnv()).ok());
            ASSERT_TRUE(waitFor([&] { return !keyboardInSway(); }, SWAY_MS));
        }
        std::vector<std::string> all = {"XDG_SESSION_TYPE=wayland", env("WAYLAND_DISPLAY"),
                                        env("XDG_RUNTIME_DIR")};
        all.insert(all.end(), session.begin(), session.end());
        startConnected(0, all);
        ASSERT_TRUE(waitFor([&] { return keyboardInSway(); }, SWAY_MS));
    }

    bool logged(const std::string& line) { return service.waitOut(line, logSeen, SWAY_MS); }

    // The keysyms of the keys wev's window saw pressed since the last call, once there are `count`.
    // wev prints each event once per keyboard it bound (two): one serial is one press.
    Syms pressed(size_t count) {
        Syms syms;
        waitFor(
            [&] {
                syms.clear();
                std::set<long> serials;
                std::istringstream in(harness::readWholeFile(wevLog).substr(wevSeen));
                long serial = -1;
                for (std::string line; std::getline(in, line) && !in.eof();) {
                    long s, time, keycode;
                    int state;
                    char sym[64];
                    if (std::sscanf(line.c_str(), "[%*[^]]] key: serial: %ld; time: %ld; key: %ld; state: %d",
                                    &s, &time, &keycode, &state) == 4)
                        serial = state == 1 && serials.insert(s).second ? s : -1;
                    else if (serial >= 0 && std::sscanf(line.c_str(), " sym: %63s", sym) == 1) {
                        syms.push_back(sym);
                        serial = -1;
                    }
                }
                return syms.size() >= count;
            },
            SWAY_MS);
        wevSeen = harness::readWholeFile(wevLog).size();
        return syms;
    }

    void sendKeys(const std::string& keys) { send(keys.substr(0, keys.size() - 1)); }
    // Sends `keys` and expects wev to see `syms` pressed.
    void expectTyped(const std::string& keys, const Syms& syms, const std::string& what) {
        sendKeys(keys);
        EXPECT_EQ(pressed(syms.size()), syms) << what;
    }

    std::string wevLog;
    size_t wevSeen = 0;
    size_t logSeen = 0;
};

} // namespace

// The host's half: boots the guest, starts sway and wev in it, and runs the tests above there.
TEST(SwayGuest, RunsTheLayoutTests) {
    if (getenv(GUEST_FLAG)) GTEST_SKIP();
    if (geteuid() != 0) GTEST_SKIP() << "the tests in the guest need root, as the other integration tests do";
    const std::string command =
        harness::selfInGuest(GUEST_FLAG, "--gtest_filter='SwayLayoutTest.*'", "sway_guest.sh");
    ASSERT_FALSE(command.empty());
    const harness::GuestRun run = harness::runInUinputGuest(command, GUEST_TIMEOUT_MS);
    ASSERT_EQ(run.status, 0) << run.error << "\n" << run.output;
    EXPECT_NE(run.output.find("[  PASSED  ] 4 tests."), std::string::npos) << run.output;
}

// One service through layouts and switches made over sway's IPC: each change is logged once, and the next
// keys, the first one after a switch included, type what their vk codes name.
TEST_F(SwayLayoutTest, KeysFollowSwaysLayoutAndItsSwitches) {
    const std::vector<int> letters = {'A', 'Z', 'Y', 'Q', 'W', 'M'};
    const Syms typed = {"a", "z", "y", "q", "w", "m"};
    struct Step {
        std::string sway;    // an IPC command first, or ""
        std::string follows; // the line the service then logs, or "" when it logs none
        std::string keys;
        Syms syms;
    } steps[] = {
        {"", "English (US) (sway)", taps(letters), typed}, // sway's configuration at start
        // The same positions typed "a y z q w m" under de, and minus went to the sharp s key.
        {"input type:keyboard xkb_layout de",
         "German (sway)",
         taps(letters) + taps({VK_OEM_MINUS}),
         {"a", "z", "y", "q", "w", "m", "minus"}},
        // set1 names a position: the US minus and left-bracket positions type sharp s and u umlaut under de.
        {"", "", taps({0x0C, 0x1A}, 3), {"ssharp", "udiaeresis"}},
        {"input type:keyboard xkb_layout fr", "French (sway)", taps(letters), typed},
        // Ctrl+A, not Ctrl+Q (which quits most applications).
        {"", "", chord(VK_LCONTROL, 'A'), {"Control_L", "a"}},
        // No Latin letters: the US positions, so that shortcuts still work.
        {"input type:keyboard xkb_layout ru",
         "Russian (sway)",
         taps({'A', 'C', '1'}),
         {"Cyrillic_ef", "Cyrillic_es", "1"}},
        {R"(input type:keyboard xkb_layout "us,de")", "English (US) (sway)", taps({'Y'}), {"y"}},
        {"input type:keyboard xkb_switch_layout 1", "German (sway)", taps({'Y', 'Z'}), {"y", "z"}},
        {"input type:keyboard xkb_switch_layout 0", "English (US) (sway)", taps({'Z'}), {"z"}},
    };
    ASSERT_NO_FATAL_FAILURE(startService({env("SWAYSOCK"), "XDG_CURRENT_DESKTOP=sway"}));
    for (const Step& step : steps) {
        if (!step.sway.empty()) logSeen = service.out().size();
        if (!step.sway.empty()) {
            ASSERT_NO_FATAL_FAILURE(sway(step.sway));
        }
        if (!step.follows.empty()) {
            ASSERT_TRUE(logged(follows(step.follows))) << step.sway;
        }
        expectTyped(step.keys, step.syms, step.sway + " " + step.follows);
    }
    // One line per change, none for the keys or for the keymap arriving twice.
    const std::vector<std::string> out = service.out();
    const auto lines = std::count_if(out.begin(), out.end(),
                                     [](const std::string& l) { return l.rfind("[Layout]", 0) == 0; });
    EXPECT_EQ(size_t(lines), std::size(steps) - 2);
}

// A GNOME session: the service cannot see sway's IPC and follows GNOME's input-source settings (through
// GSettings' keyfile backend; sway itself is set to de, so that the characters are right).
TEST_F(SwayLayoutTest, AGnomeSessionFollowsItsInputSources) {
    ASSERT_NO_FATAL_FAILURE(sway("input type:keyboard xkb_layout de"));
    const std::vector<std::string> settings = {"GSETTINGS_BACKEND=keyfile", "XDG_CONFIG_HOME=/tmp/config",
                                               "HOME=/tmp"};
    const auto gsettings = [&](const std::string& key, const std::string& value) {
        std::vector<std::string> all = settings;
        all.push_back(env("PATH"));
        return harness::run({"gsettings", "set", "org.gnome.desktop.input-sources", key, value}, all).ok();
    };
    ASSERT_TRUE(gsettings("sources", "[('xkb', 'us'), ('xkb', 'de'), ('xkb', 'fr+azerty')]"));
    ASSERT_TRUE(gsettings("mru-sources", "[('xkb', 'de'), ('xkb', 'us')]"));
    std::vector<std::string> session = settings;
    session.push_back("XDG_CURRENT_DESKTOP=GNOME");
    ASSERT_NO_FATAL_FAILURE(startService(session));
    EXPECT_TRUE(logged(follows("de (GNOME input sources)")));
    expectTyped(taps({'Z', 'Y'}), {"z", "y"}, "GNOME says de");
    // A switch in the shell: the most recent source comes first.
    logSeen = service.out().size();
    ASSERT_TRUE(gsettings("mru-sources", "[('xkb', 'fr+azerty'), ('xkb', 'de')]"));
    EXPECT_TRUE(logged(follows("fr(azerty) (GNOME input sources)")));
}

// Without a desktop that reports a layout: the system's configured one, else US positions, said once.
TEST_F(SwayLayoutTest, WithoutADesktopTheSystemsLayoutThenUsPositions) {
    ASSERT_NO_FATAL_FAILURE(sway("input type:keyboard xkb_layout de"));
    std::ofstream("/etc/default/keyboard") << "XKBMODEL=\"pc105\"\nXKBLAYOUT=\"de,us\"\nXKBVARIANT=\"\"\n";
    ASSERT_NO_FATAL_FAILURE(startService({}));
    EXPECT_TRUE(logged(follows("de (/etc/default/keyboard)")));
    expectTyped(taps({'Z', 'Y'}), {"z", "y"}, "/etc/default/keyboard says de");
    ASSERT_EQ(unlink("/etc/default/keyboard"), 0);
    ASSERT_NO_FATAL_FAILURE(startService({}));
    EXPECT_TRUE(logged("[Layout] No desktop reports a keyboard layout: keys keep US key positions"));
    expectTyped(taps({'Z', 'Y'}), {"y", "z"}, "US positions under de");
}

// KDE Plasma: the real KWin with two layouts in kxkbrc, switched over its D-Bus interface. Its virtual
// backend reads no kernel device, so the keys are observed as the codes the service writes at the kernel.
TEST_F(SwayLayoutTest, KdeSwitchesAreFollowedAtTheKernel) {
    makeDir("/tmp/home", 0700);
    makeDir("/tmp/home/.config", 0700);
    makeDir("/tmp/run", 0700);
    writeFile("/tmp/home/.config/kxkbrc", "[Layout]\nLayoutList=us,de\nVariantList=,\nUse=true\n");
    const std::vector<std::string> session = {"HOME=/tmp/home", "XDG_RUNTIME_DIR=/tmp/run",
                                              "XDG_CURRENT_DESKTOP=KDE"};
    harness::SessionBus bus;
    std::string error;
    ASSERT_TRUE(bus.start(error, {session})) << error;
    std::vector<std::string> env = session;
    env.push_back(bus.addressEnv());
    for (const std::string& var : harness::baseEnv())
        if (var.rfind("HOME=", 0) != 0) env.push_back(var);
    harness::KWin kwin;
    ASSERT_TRUE(kwin.start(env, "/tmp/run", error, SWAY_MS)) << error;
    harness::EvdevReader reader;
    reader.start("kx-services-virtual-kbd");
    ASSERT_NO_FATAL_FAILURE(startService({"XDG_CURRENT_DESKTOP=KDE", bus.addressEnv(), "HOME=/tmp/home"}));
    ASSERT_TRUE(logged(follows("us (KDE Plasma)")));
    const std::vector<harness::EvdevEvent> zKey = {
        {EV_KEY, KEY_Z, 1}, {EV_SYN, SYN_REPORT, 0}, {EV_KEY, KEY_Z, 0}, {EV_SYN, SYN_REPORT, 0}};
    sendKeys(taps({'Z'}));
    expectLogged(reader.events, zKey, "us");
    logSeen = service.out().size();
    const harness::RunResult set = harness::run({"gdbus", "call", "--session", "-d", "org.kde.keyboard", "-o",
                                                 "/Layouts", "-m", "org.kde.KeyboardLayouts.setLayout", "1"},
                                                env);
    ASSERT_TRUE(set.ok()) << set.err;
    ASSERT_TRUE(logged(follows("de (KDE Plasma)")));
    sendKeys(taps({'Z'}));
    expectLogged(reader.events,
                 {{EV_KEY, KEY_Y, 1}, {EV_SYN, SYN_REPORT, 0}, {EV_KEY, KEY_Y, 0}, {EV_SYN, SYN_REPORT, 0}},
                 "de");
}
