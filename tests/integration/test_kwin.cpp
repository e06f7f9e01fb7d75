// The Wayland backend on a real KWin, headless: focus from the real accessibility bus (native GTK
// windows) and from XWayland (xterm), moved by KWin's own scripting, and the list. Screenshots are left
// out: KDE's portal backend needs Plasma's QML modules, far more than this test's packages.
#include "desktop_session_test.h"
#include "kwin.h"
#include "session_bus.h"

using namespace it;

namespace {

class KWinTest : public DesktopSessionTest {
  protected:
    void SetUp() override {
        DesktopSessionTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        makeDir("/tmp/home", 0700);
        makeDir("/tmp/run", 0700);
        if (!kxkbrc.empty()) {
            makeDir("/tmp/home/.config", 0700);
            writeFile("/tmp/home/.config/kxkbrc", kxkbrc);
        }
        std::string error;
        ASSERT_TRUE(
            bus.start(error, {{"HOME=/tmp/home", "XDG_RUNTIME_DIR=/tmp/run", "XDG_CURRENT_DESKTOP=KDE"}}))
            << error;
        ASSERT_TRUE(kwin.start(session(), "/tmp/run", error)) << error;
    }

    std::vector<std::string> session(std::vector<std::string> extra = {}) const {
        extra.insert(extra.end(), {"HOME=/tmp/home", "XDG_RUNTIME_DIR=/tmp/run", "XDG_SESSION_TYPE=wayland",
                                   "XDG_CURRENT_DESKTOP=KDE", bus.addressEnv()});
        for (const std::string& var : harness::baseEnv())
            if (var.rfind("HOME=", 0) != 0) extra.push_back(var);
        return extra;
    }
    std::vector<std::string> env(std::vector<std::string> extra = {}) const override {
        extra.insert(extra.end(), {kwin.socketEnv(), "DISPLAY=" + kwin.xDisplay()});
        return session(extra);
    }
    bool focus(const std::string& title) override { return kwin.activate(title); }

    harness::SessionBus bus;
    harness::KWin kwin;
    std::string kxkbrc; // the user's keyboard settings, where Plasma keeps them
};

TEST_F(KWinTest, FocusFollowsKWinAcrossNativeAndXWaylandWindows) {
    startConnected(0, env());
    focusWalksNativeAndXWaylandWindows();
}

// Two layouts, switched over KWin's own D-Bus interface as Plasma's layout switcher does: the keys follow
// each switch, as the service's log line says (the keys themselves are seen at sway in the guest; KWin's
// virtual backend reads no kernel device).
class KWinLayoutTest : public KWinTest {
  protected:
    KWinLayoutTest() { kxkbrc = "[Layout]\nLayoutList=us,de,fr\nVariantList=,,azerty\nUse=true\n"; }
};

TEST_F(KWinLayoutTest, KeysFollowTheLayoutKWinSwitchesTo) {
    startConnected(0, env());
    EXPECT_TRUE(service.waitOut("[Layout] Keys follow the keyboard layout us (KDE Plasma)"));
    for (const auto& [index, name] :
         std::vector<std::pair<int, std::string>>{{2, "fr(azerty)"}, {1, "de"}, {0, "us"}}) {
        const size_t seen = service.out().size();
        const harness::RunResult set =
            harness::run({"gdbus", "call", "--session", "-d", "org.kde.keyboard", "-o", "/Layouts", "-m",
                          "org.kde.KeyboardLayouts.setLayout", std::to_string(index)},
                         env());
        ASSERT_TRUE(set.ok()) << set.err;
        EXPECT_TRUE(
            service.waitOut("[Layout] Keys follow the keyboard layout " + name + " (KDE Plasma)", seen))
            << testing::PrintToString(service.out());
    }
}

// One layout: KWin offers no layout interface then, and kxkbrc alone says which layout it is.
class KWinOneLayoutTest : public KWinTest {
  protected:
    KWinOneLayoutTest() { kxkbrc = "[Layout]\nLayoutList=de\nVariantList=nodeadkeys\nUse=true\n"; }
};

TEST_F(KWinOneLayoutTest, KeysFollowTheOneLayoutOfKxkbrc) {
    startConnected(0, env());
    EXPECT_TRUE(service.waitOut("[Layout] Keys follow the keyboard layout de(nodeadkeys) (KDE Plasma)"))
        << testing::PrintToString(service.out());
}

} // namespace
