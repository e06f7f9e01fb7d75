// The Wayland backend on a real sway session, headless: no shell screenshot service there, so captures
// come through the real desktop portal and its wlroots backend; focus from the real accessibility bus
// (native GTK windows) and from XWayland (xterm), moved by sway itself. sway refuses to run as root: the
// session, its bus, its clients and the service run as nobody.
#include "picture.h"
#include "script_process.h"
#include "service_harness.h"
#include "session_bus.h"
#include "sway.h"

#include <filesystem>

using namespace it;
using nlohmann::json;

namespace {

const std::string X11_THREAD = "Launching thread: Listening to Application focus for x11 applications)";
const std::string NO_X_WINDOW = "Application changed: No active window detected, full wayland applications "
                                "cannot be read unfortunately by x11-only execution.";
const int SCREEN_W = 1280, SCREEN_H = 720;

class SwayTest : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
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

    std::vector<std::string> env(std::vector<std::string> extra = {}) const {
        extra.push_back(bus.addressEnv());
        return sway.sessionEnv(extra);
    }
    void startClient(harness::Process& p, const std::vector<std::string>& argv, std::vector<std::string> extra,
                     const std::string& outPath = "") {
        harness::SpawnOptions options;
        options.env = env(std::move(extra));
        options.uid = NOBODY;
        options.outPath = outPath;
        std::string error;
        ASSERT_TRUE(p.start(argv, options, &error)) << error;
    }
    json nextReport() {
        json message;
        EXPECT_TRUE(kx::awaitMessage(conn, "applicationChanged", message, TIMEOUT_MS)) << "no focus report";
        return message.value("data", json::object());
    }
    // Reports up to the first for `title`, which is returned; the others were on the way there.
    json reportFor(const std::string& title) {
        json report = json::object();
        while (report.value("title", "") != title) {
            json message;
            if (!kx::awaitMessage(conn, "applicationChanged", message, TIMEOUT_MS)) {
                ADD_FAILURE() << "no report for " << title;
                break;
            }
            report = message.value("data", json::object());
        }
        return report;
    }

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
                          Case{-30, 700, 60, 10, 0, 700, 60, 10}}) {
        const std::string at = std::to_string(c.x) + "," + std::to_string(c.y);
        const Logged logged = exchange(kx::regionScreenshotMessage("u", c.x, c.y, c.w, c.h).dump());
        const Picture picture = decodePng(json::parse(nextReply()).at("data").at("base64"));
        ASSERT_EQ(picture.width, c.cw) << at;
        ASSERT_EQ(picture.height, c.ch) << at;
        EXPECT_TRUE(picture.alpha) << at;
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

// A keyboard on the seat makes sway's focus reach the clients: GTK's Wayland windows are reported from
// the accessibility bus, xterm's from XWayland, and XWayland stays quiet while a native window has the
// focus. The list has the user's processes and XWayland's windows.
TEST_F(SwayTest, FocusFollowsSwayAcrossNativeAndXWaylandWindows) {
    startConnected(NOBODY, env());
    ASSERT_TRUE(service.waitOut("Accessibility detected: Using AT-SPI2 for active window monitoring."));
    harness::Process gtk, term;
    std::vector<std::string> argv = harness::scriptCommand("gtk_windows.py");
    argv.insert(argv.end(), {"Alpha", "Beta"});
    startClient(gtk, argv, {"GDK_BACKEND=wayland"}, "/tmp/kx-test/gtk.out");
    ASSERT_TRUE(waitFor([] { return contains(readLines("/tmp/kx-test/gtk.out"), "ready"); }));
    // The script runs as /usr/bin/python3, a link to the interpreter's own file.
    const std::string python = std::filesystem::canonical("/usr/bin/python3");
    const json alpha = {{"pid", gtk.pid()}, {"proc", python}, {"title", "Alpha"}};
    const json beta = {{"pid", gtk.pid()}, {"proc", python}, {"title", "Beta"}};
    // sway focuses each new window; the last mapped is the last reported.
    EXPECT_EQ(reportFor("Beta"), beta);
    // Alpha was active for a moment when it was mapped: back to it only once that counts no more.
    sleepMs(600);
    ASSERT_TRUE(sway.focus("Alpha"));
    EXPECT_EQ(nextReport(), alpha);

    startClient(term, {"xterm", "-T", "Term One"}, {"NO_AT_BRIDGE=1"});
    const json xterm = {{"pid", term.pid()}, {"proc", "xterm"}, {"title", "Term One"}};
    EXPECT_EQ(nextReport(), xterm);
    ASSERT_TRUE(sway.focus("Beta"));
    EXPECT_EQ(nextReport(), beta);
    ASSERT_TRUE(sway.focus("Term One"));
    EXPECT_EQ(nextReport(), xterm);
    EXPECT_FALSE(contains(service.out(), NO_X_WINDOW));

    json entries;
    ASSERT_TRUE(kx::requestApplicationList(conn, entries, TIMEOUT_MS));
    const auto has = [&](const json& entry) { return std::find(entries.begin(), entries.end(), entry) != entries.end(); };
    EXPECT_TRUE(has({{"title", "Term One"}, {"processpath", "/usr/bin/xterm"}, {"platform", "x11"}})) << entries;
    EXPECT_TRUE(has({{"title", "python3"}, {"processpath", python}, {"platform", "wayland"}})) << entries;
    EXPECT_TRUE(has({{"title", "sway"}, {"processpath", "/usr/bin/sway"}, {"platform", "wayland"}})) << entries;
}

} // namespace
