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
        std::string error;
        ASSERT_TRUE(bus.start(error, {{"HOME=/tmp/home", "XDG_RUNTIME_DIR=/tmp/run", "XDG_CURRENT_DESKTOP=KDE"}}))
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
};

TEST_F(KWinTest, FocusFollowsKWinAcrossNativeAndXWaylandWindows) {
    startConnected(0, env());
    focusWalksNativeAndXWaylandWindows();
}

} // namespace
