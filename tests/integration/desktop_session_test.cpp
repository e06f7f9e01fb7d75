#include "desktop_session_test.h"

#include "script_process.h"

#include <algorithm>
#include <filesystem>

using nlohmann::json;

namespace it {

void DesktopSessionTest::startClient(harness::Process& p, const std::vector<std::string>& argv,
                                     std::vector<std::string> extra, const std::string& outPath) {
    harness::SpawnOptions options;
    options.env = env(std::move(extra));
    options.uid = user;
    options.outPath = outPath;
    std::string error;
    ASSERT_TRUE(p.start(argv, options, &error)) << error;
}

json DesktopSessionTest::nextReport(const std::string& expected) {
    json message;
    if (!kx::awaitMessage(conn, "applicationChanged", message, TIMEOUT_MS)) {
        ADD_FAILURE() << "no focus report for " << expected;
        return json::object();
    }
    return message.value("data", json::object());
}

void DesktopSessionTest::focusWalksNativeAndXWaylandWindows() {
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
    // New windows are activated as they map, and a loaded machine delivers those reports late. They
    // come in order, from the window's own connection: once Beta knows it is active they are on the way,
    // and once they stop the walk begins, with Alpha's activation past the service's repeat window.
    ASSERT_TRUE(waitFor([] {
        const std::vector<std::string> lines = readLines("/tmp/kx-test/gtk.out");
        return std::any_of(lines.begin(), lines.end(),
                           [](const std::string& line) { return line.rfind("active Beta ", 0) == 0; });
    })) << "Beta was never active";
    focusReports(QUIET_MS);
    ASSERT_TRUE(focus("Alpha"));
    EXPECT_EQ(nextReport("Alpha"), alpha);

    startClient(term, {"xterm", "-T", "Term One"}, {"NO_AT_BRIDGE=1"});
    const json xterm = {{"pid", term.pid()}, {"proc", "xterm"}, {"title", "Term One"}};
    EXPECT_EQ(nextReport("Term One"), xterm);
    // XWayland's active window is sampled: each focus rests past a poll before it moves on.
    sleepMs(SETTLE_MS);
    ASSERT_TRUE(focus("Beta"));
    EXPECT_EQ(nextReport("Beta"), beta);
    sleepMs(SETTLE_MS);
    ASSERT_TRUE(focus("Term One"));
    EXPECT_EQ(nextReport("Term One"), xterm);
    EXPECT_FALSE(contains(service.out(), "Application changed: No active window detected, full wayland "
                                         "applications cannot be read unfortunately by x11-only execution."));

    json entries;
    ASSERT_TRUE(kx::requestApplicationList(conn, entries, TIMEOUT_MS));
    const auto has = [&](const json& entry) { return std::find(entries.begin(), entries.end(), entry) != entries.end(); };
    EXPECT_TRUE(has({{"title", "Term One"}, {"processpath", "/usr/bin/xterm"}, {"platform", "x11"}})) << entries;
    EXPECT_TRUE(has({{"title", "python3"}, {"processpath", python}, {"platform", "wayland"}})) << entries;
}

} // namespace it
