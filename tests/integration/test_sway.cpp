// The Wayland backend on a real sway session, headless: no shell screenshot service there, so captures
// come through the real desktop portal and its wlroots backend; focus from the real accessibility bus
// (native GTK windows) and from XWayland (xterm), moved by sway itself. sway refuses to run as root: the
// session, its bus, its clients and the service run as nobody.
#include "desktop_session_test.h"
#include "picture.h"
#include "session_bus.h"
#include "sway.h"

using namespace it;
using nlohmann::json;

namespace {

const std::string X11_THREAD = "Launching thread: Listening to Application focus for x11 applications)";
const int SCREEN_W = 1280, SCREEN_H = 720;

class SwayTest : public DesktopSessionTest {
  protected:
    void SetUp() override {
        DesktopSessionTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        user = NOBODY;
        makeDir("/tmp/home", 0700, NOBODY);
        makeDir("/tmp/run", 0700, NOBODY);
        ASSERT_TRUE(writePatternPng("/tmp/pattern.png", SCREEN_W, SCREEN_H));
        harness::SwayOptions options;
        options.uid = NOBODY;
        options.runtimeDir = "/tmp/run";
        options.home = "/tmp/home";
        options.background = "/tmp/pattern.png";
        options.resolution = std::to_string(SCREEN_W) + "x" + std::to_string(SCREEN_H);
        std::string error;
        ASSERT_TRUE(sway.start(options, error)) << error;
        // The session's bus, with what services it activates (the portal) need to find the desktop.
        harness::SessionBusOptions busOptions;
        busOptions.env = sway.sessionEnv();
        busOptions.uid = NOBODY;
        ASSERT_TRUE(bus.start(error, busOptions)) << error;
        ASSERT_TRUE(sway.startPortalBackend(bus.address(), error)) << error;
    }

    std::vector<std::string> env(std::vector<std::string> extra = {}) const override {
        extra.push_back(bus.addressEnv());
        return sway.sessionEnv(extra);
    }
    bool focus(const std::string& title) override { return sway.focus(title); }

    harness::Sway sway;
    harness::SessionBus bus;
};

// sway has no "org.gnome.Shell.Screenshot": the portal answers, with the whole screen saved by its
// backend in a file of its own choosing, which the service cuts, clamps and then removes.
TEST_F(SwayTest, ScreenshotsComeThroughTheRealPortal) {
    startConnected(NOBODY, env());
    ASSERT_TRUE(service.waitOut(X11_THREAD));
    sleepMs(SETTLE_MS); // the focus thread's start-up lines, apart from the requests'
    outSeen = service.out().size();
    errSeen = service.err().size();
    struct Case {
        int x, y, w, h;   // asked
        int cx, cy, cw, ch; // what lies on the screen
    };
    for (const Case& c : {Case{100, 50, 200, 120, 100, 50, 200, 120},
                          Case{1200, 680, 100, 100, 1200, 680, SCREEN_W - 1200, SCREEN_H - 680},
                          Case{-30, 700, 60, 10, 0, 700, 60, 10}, Case{0, 0, SCREEN_W, SCREEN_H, 0, 0, SCREEN_W, SCREEN_H}}) {
        const std::string at = std::to_string(c.x) + "," + std::to_string(c.y);
        const Logged logged = exchange(kx::regionScreenshotMessage("u", c.x, c.y, c.w, c.h).dump());
        const Picture picture = decodePng(json::parse(nextReply()).at("data").at("base64"));
        ASSERT_EQ(picture.width, c.cw) << at;
        ASSERT_EQ(picture.height, c.ch) << at;
        EXPECT_TRUE(picture.alpha && picture.translucent == 0) << at;
        EXPECT_EQ(pixelsOffPattern(picture, c.cx, c.cy), 0) << at;
        ASSERT_EQ(logged.err.size(), 1u) << at;
        EXPECT_EQ(logged.err[0].rfind("D-Bus aanroep mislukt: GDBus.Error:org.freedesktop.DBus.Error.ServiceUnknown", 0),
                  0u)
            << logged.err[0];
        EXPECT_TRUE(contains(logged.out, "Desktop portal screenshot: " + std::to_string(c.cw) + "x" +
                                             std::to_string(c.ch) + " at " + std::to_string(c.cx) + ", " +
                                             std::to_string(c.cy)))
            << at;
        // Neither the service's file for the shell nor the portal's copy of the screen stays.
        EXPECT_EQ(harness::run({"find", "/tmp", "-xdev", "-type", "f", "-name", "*.png"}, harness::baseEnv()).out,
                  "/tmp/pattern.png\n")
            << at;
    }
}

// A keyboard on the seat makes sway's focus reach the clients.
TEST_F(SwayTest, FocusFollowsSwayAcrossNativeAndXWaylandWindows) {
    startConnected(NOBODY, env());
    focusWalksNativeAndXWaylandWindows();
}

} // namespace
