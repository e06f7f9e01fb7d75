// The Wayland backend against a private session bus with the real accessibility bus, real GTK windows on
// a private X server, an X server standing in for XWayland, and stand-ins for the shell's screenshot
// service and the desktop portal.
#include "picture.h"
#include "platform_wayland.h"
#include "script_process.h"
#include "service_harness.h"
#include "session_bus.h"
#include "weston.h"
#include "x_server.h"

#include <array>
#include <chrono>
#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

using namespace it;
using nlohmann::json;

namespace {

const std::string PROBE_HINT = " Enable accessibility: gsettings set org.gnome.desktop.interface "
                               "toolkit-accessibility true; systemctl --user start at-spi-dbus-bus.service";
const std::string FALLBACK = " XWayland/X11 monitoring will be used; limited to X11 apps only.";
const std::string NATIVE_THREAD =
    "Launching thread: Listening to Application focus for Wayland applications)";
const std::string X11_THREAD = "Launching thread: Listening to Application focus for x11 applications)";
const std::string NO_X_WINDOW = "Application changed: No active window detected, full wayland applications "
                                "cannot be read unfortunately by x11-only execution.";

using harness::exeOf;

size_t countMatching(const std::vector<std::string>& lines, const std::string& part) {
    size_t n = 0;
    for (const std::string& line : lines)
        n += line.find(part) != std::string::npos;
    return n;
}

class WaylandTest : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        makeDir("/tmp/home", 0700);
        makeDir("/tmp/run", 0700);
    }

    void startBus(bool activation = true) {
        std::string error;
        ASSERT_TRUE(bus.start(error, {{"HOME=/tmp/home", "XDG_RUNTIME_DIR=/tmp/run"}, activation})) << error;
    }
    void startX() {
        std::string error;
        ASSERT_TRUE(x.start({}, error)) << error;
    }
    // The environment of a process of the private desktop session; `extra` comes first, so it wins.
    std::vector<std::string> sessionEnv(std::vector<std::string> extra = {}) const {
        extra.insert(extra.end(),
                     {"HOME=/tmp/home", "XDG_RUNTIME_DIR=/tmp/run", "WAYLAND_DISPLAY=wayland-kx"});
        if (!bus.address().empty()) extra.push_back(bus.addressEnv());
        for (const std::string& var : harness::baseEnv())
            if (var.rfind("HOME=", 0) != 0) extra.push_back(var);
        return extra;
    }
    void startScript(harness::ScriptProcess& script, const std::string& name,
                     const std::vector<std::string>& args, const std::vector<std::string>& env) {
        std::string error, line;
        ASSERT_TRUE(script.start(name, args, env, error)) << error;
        ASSERT_TRUE(script.waitLine("ready", line)) << name << " did not come up";
    }
    void restartService(const std::vector<std::string>& env, uid_t uid = 0) {
        kx::disconnect(conn);
        startConnected(uid, env);
    }
    void startClient(harness::Process& p, const std::vector<std::string>& argv,
                     const std::vector<std::string>& env, uid_t uid = 0) {
        harness::SpawnOptions options;
        options.env = sessionEnv(env);
        options.uid = uid;
        std::string error;
        ASSERT_TRUE(p.start(argv, options, &error)) << error;
    }
    // The id of the window titled exactly `title`, once the window manager manages it.
    std::string windowTitled(const std::string& title, const std::string& display) {
        const Window w = harness::waitForClient(display, title);
        EXPECT_NE(w, 0u) << title << " is not managed";
        return std::to_string(w);
    }
    json nextReport() {
        json message;
        EXPECT_TRUE(kx::awaitMessage(conn, "applicationChanged", message, TIMEOUT_MS)) << "no focus report";
        return message.value("data", json::object());
    }

    std::string busCall(const std::string& method, std::vector<std::string> args) {
        args.insert(args.begin(), {"gdbus", "call", "--session", "-d", "org.freedesktop.DBus", "-o",
                                   "/org/freedesktop/DBus", "-m", "org.freedesktop.DBus." + method});
        return harness::run(args, sessionEnv()).out;
    }
    // Kills the accessibility bus: the launcher that owns its name, and the daemon it runs.
    void killAccessibilityBus() {
        const std::string owner = busCall("GetConnectionUnixProcessID", {"org.a11y.Bus"});
        const pid_t launcher = pid_t(std::atoi(owner.c_str() + owner.find(' ') + 1));
        ASSERT_GT(launcher, 0) << owner;
        const std::string self = std::to_string(launcher);
        const pid_t daemon =
            pid_t(std::atoi(harness::readWholeFile("/proc/" + self + "/task/" + self + "/children").c_str()));
        ASSERT_GT(daemon, 0);
        kill(launcher, SIGKILL);
        kill(daemon, SIGKILL);
    }
    // The accessibility switch, as the bus's launcher answers: "true", "false", or its error.
    std::string accessibilitySwitch() {
        const harness::RunResult r =
            harness::run({"gdbus", "call", "--session", "-d", "org.a11y.Bus", "-o", "/org/a11y/bus", "-m",
                          "org.freedesktop.DBus.Properties.Get", "org.a11y.Status", "IsEnabled"},
                         sessionEnv());
        return r.out == "(<true>,)\n" ? "true" : r.out == "(<false>,)\n" ? "false" : r.out + r.err;
    }
    // A GTK client on the X server, reading commands.
    void startGtk(harness::ScriptProcess& gtk) {
        startScript(gtk, "gtk_windows.py", {"--commands"}, sessionEnv({x.displayEnv(), "GDK_BACKEND=x11"}));
    }

    harness::SessionBus bus;
    harness::XServer x;
};

const std::string LOST = "[Wayland] Lost the accessibility bus (org.a11y.Bus); native focus reports have "
                         "stopped until it runs again.";
const std::string BACK = "[Wayland] The accessibility bus runs again; following native focus changes.";

// ---- focus from the accessibility bus ----

TEST_F(WaylandTest, AccessibilityBusReportsEachActivatedWindowOnce) {
    startBus();
    startX();
    // No DISPLAY: only the accessibility monitor reports.
    startConnected(0, sessionEnv());
    ASSERT_TRUE(service.waitOut("Accessibility detected: Using AT-SPI2 for active window monitoring."));
    const std::vector<std::string> out = service.out();
    const auto at = [&](const std::string& line) {
        return std::find(out.begin(), out.end(), line) - out.begin();
    };
    EXPECT_LT(at(NATIVE_THREAD), at(X11_THREAD));
    EXPECT_EQ(countMatching(out, "Accessibility is not"), 0u);
    // Nobody else was on the bus: the probe started the accessibility bus itself.
    harness::RunResult owner =
        harness::run({"gdbus", "call", "--session", "-d", "org.freedesktop.DBus", "-o",
                      "/org/freedesktop/DBus", "-m", "org.freedesktop.DBus.NameHasOwner", "org.a11y.Bus"},
                     sessionEnv());
    EXPECT_EQ(owner.out, "(true,)\n");

    harness::ScriptProcess gtk;
    startScript(gtk, "gtk_windows.py", {"--commands"}, sessionEnv({x.displayEnv(), "GDK_BACKEND=x11"}));
    const std::string python = exeOf(gtk.pid());
    std::map<std::string, std::string> xid;
    for (const std::string title : {"Alpha", "Beta"}) {
        std::string line;
        gtk.send("window " + title);
        ASSERT_TRUE(gtk.waitLine("window " + title + " ", line));
        xid[title] = line.substr(line.rfind(' ') + 1);
        // A mapped window is activated by the window manager.
        EXPECT_EQ(nextReport(), json({{"pid", gtk.pid()}, {"proc", python}, {"title", title}}));
    }
    // The dialog names itself, not its parent or the widget that has the focus inside it.
    gtk.send("dialog Save As");
    EXPECT_EQ(nextReport(), json({{"pid", gtk.pid()}, {"proc", python}, {"title", "Save As"}}));

    // Activations of one window within half a second are one change. Away to Beta and back to Alpha right
    // after Alpha's report: the return is not reported. Once the half second is over, it is again.
    const auto activateAlpha = [&] { // by way of Beta; the time Alpha became active
        gtk.skipAll();
        EXPECT_TRUE(x.run({"xdotool", "windowactivate", "--sync", xid["Beta"], "windowactivate", "--sync",
                           xid["Alpha"]})
                        .ok());
        std::string line;
        EXPECT_TRUE(gtk.waitLine("active Alpha ", line));
        return std::stod(line.substr(line.rfind(' ') + 1));
    };
    const std::string alphaReported = "x11=No proc='" + python + "' title='Alpha'";
    const auto alphaReports = [&] { return countMatching(service.out(), alphaReported); };
    bool decided = false;
    for (int attempt = 0; attempt < 3 && !decided; ++attempt) {
        sleepMs(600); // past the window of the reports so far
        const double first = activateAlpha();
        json report = json::object();
        while (report.value("title", "") != "Alpha") {
            ASSERT_TRUE(kx::awaitMessage(conn, "applicationChanged", report, TIMEOUT_MS))
                << "Alpha not reported";
            report = report.value("data", json::object());
        }
        const size_t before = alphaReports();
        const double again = activateAlpha();
        sleepMs(700);
        activateAlpha();
        ASSERT_TRUE(waitFor([&] { return alphaReports() > before; }))
            << "Alpha not reported after the window";
        sleepMs(SETTLE_MS); // the later activation is handled after the earlier one
        // Well inside the window, allowing for the time events take to reach the service.
        if (again - first < 0.3) {
            EXPECT_EQ(alphaReports() - before, 1u) << "a return " << again - first << " s later was reported";
            decided = true;
        }
        while (kx::awaitMessage(conn, "applicationChanged", report, SETTLE_MS)) {
        }
    }
    EXPECT_TRUE(decided) << "the machine was too slow to activate twice within 300 ms";
}

// The accessibility bus dies under the service and is started again: the loss is said once, and the
// windows of applications on the new bus are reported, as they were before.
TEST_F(WaylandTest, AccessibilityBusIsFollowedAcrossItsRestart) {
    startBus();
    startX();
    startConnected(0, sessionEnv());
    ASSERT_TRUE(service.waitOut("Accessibility detected: Using AT-SPI2 for active window monitoring."));
    const auto reportOfWindow = [&](harness::ScriptProcess& gtk, const std::string& title) {
        startGtk(gtk);
        gtk.send("window " + title);
        json report = nextReport();
        EXPECT_EQ(report.value("pid", 0), gtk.pid());
        EXPECT_EQ(report.value("title", ""), title);
        return report;
    };
    harness::ScriptProcess before, after;
    const json first = reportOfWindow(before, "Before");
    ASSERT_NO_FATAL_FAILURE(killAccessibilityBus());
    ASSERT_TRUE(service.waitErr(LOST));

    EXPECT_EQ(busCall("StartServiceByName", {"org.a11y.Bus", "0"}), "(uint32 1,)\n");
    ASSERT_TRUE(service.waitOut(BACK));
    EXPECT_EQ(reportOfWindow(after, "After").value("proc", ""), first.value("proc", "?"));
    EXPECT_EQ(countMatching(service.err(), LOST), 1u);
    EXPECT_EQ(countMatching(service.out(), BACK), 1u);
    EXPECT_EQ(countMatching(service.err(), "CRITICAL"), 0u);
}

// The bus comes back the way it does on a desktop: the next application to start activates it. Its
// window, active before any monitor could listen, is reported all the same, every time.
TEST_F(WaylandTest, AccessibilityBusBroughtBackByAnApplicationIsFollowed) {
    constexpr int CYCLES = 10;
    startBus();
    startX();
    startConnected(0, sessionEnv());
    ASSERT_TRUE(service.waitOut("Accessibility detected: Using AT-SPI2 for active window monitoring."));
    for (int cycle = 0; cycle < CYCLES; ++cycle) {
        ASSERT_NO_FATAL_FAILURE(killAccessibilityBus());
        ASSERT_TRUE(waitFor([&] { return countMatching(service.err(), LOST) == size_t(cycle + 1); }))
            << "cycle " << cycle;
        harness::ScriptProcess gtk;
        startGtk(gtk);
        const std::string title = "Cycle " + std::to_string(cycle);
        gtk.send("window " + title);
        std::vector<json> reports = focusReports();
        EXPECT_EQ(reports,
                  std::vector<json>({{{"pid", gtk.pid()}, {"proc", exeOf(gtk.pid())}, {"title", title}}}))
            << "cycle " << cycle;
    }
    EXPECT_EQ(countMatching(service.out(), BACK), size_t(CYCLES));
    EXPECT_EQ(countMatching(service.err(), "CRITICAL"), 0u);
}

// The switch is turned on at the start and back off once the service has ended, however it ended (a
// SIGKILL stands for a crash); one that was on stays on; the opt-out leaves it alone.
TEST_F(WaylandTest, TheAccessibilitySwitchIsTurnedOnAndBackOff) {
    const std::string on = "Turned the accessibility switch on";
    startBus();
    struct Case {
        int signal;
        std::vector<std::string> env;
        std::string before, during;
    };
    const std::vector<Case> cases = {
        {SIGTERM, {}, "false", "true"},
        {SIGINT, {}, "false", "true"},
        {SIGKILL, {}, "false", "true"},
        {SIGTERM, {}, "true", "true"},
        {SIGTERM, {"KX_SERVICES_LEAVE_ACCESSIBILITY=1"}, "false", "false"},
    };
    for (const Case& c : cases) {
        const std::string what =
            std::to_string(c.signal) + " " + testing::PrintToString(c.env) + " " + c.before;
        harness::run({"gdbus", "call", "--session", "-d", "org.a11y.Bus", "-o", "/org/a11y/bus", "-m",
                      "org.freedesktop.DBus.Properties.Set", "org.a11y.Status", "IsEnabled",
                      "<" + c.before + ">"},
                     sessionEnv());
        ASSERT_TRUE(waitFor([&] { return accessibilitySwitch() == c.before; })) << what;
        restartService(sessionEnv(c.env));
        ASSERT_TRUE(service.waitOut(X11_THREAD)) << what;
        EXPECT_EQ(accessibilitySwitch(), c.during) << what;
        const std::vector<std::string> out = service.out();
        EXPECT_EQ(countMatching(out, on), c.during == c.before ? 0u : 1u) << what;
        EXPECT_EQ(countMatching(out, "Accessibility switch left as it is"), c.env.empty() ? 0u : 1u) << what;
        kx::disconnect(conn);
        ::kill(service.pid(), c.signal);
        EXPECT_NE(service.waitExit(), -1) << what;
        EXPECT_TRUE(waitFor([&] { return accessibilitySwitch() == c.before; })) << what;
    }
}

// The window active when the service starts is reported once; inner objects that become active (a
// popover, a popup menu, a button that says it is active) are no windows, and switches between
// windows go on being reported.
TEST_F(WaylandTest, ActiveWindowAtStartIsReportedAndInnerObjectsAreNot) {
    startBus();
    startX();
    harness::ScriptProcess gtk;
    startGtk(gtk);
    std::string line;
    gtk.send("window Alpha");
    ASSERT_TRUE(gtk.waitLine("active Alpha", line));
    startConnected(0, sessionEnv());
    const auto reportOf = [&](const std::string& title) {
        return json({{"pid", gtk.pid()}, {"proc", exeOf(gtk.pid())}, {"title", title}});
    };
    EXPECT_EQ(focusReports(), std::vector<json>{reportOf("Alpha")});
    gtk.send("window Beta");
    EXPECT_EQ(focusReports(), std::vector<json>{reportOf("Beta")});
    const std::string alpha = windowTitled("Alpha", x.display());
    EXPECT_TRUE(x.run({"xdotool", "windowactivate", "--sync", alpha}).ok());
    EXPECT_EQ(focusReports(), std::vector<json>{reportOf("Alpha")});
    sleepMs(600); // past the repeat window, so that only the kind of object keeps a report out
    for (const std::string command : {"inner", "popover"}) {
        gtk.send(command);
        ASSERT_TRUE(gtk.waitLine(command, line));
        EXPECT_EQ(focusReports(QUIET_MS), std::vector<json>{}) << command;
    }
}

// An application whose objects' parents lead in a circle loses those activations, and nothing else.
TEST_F(WaylandTest, ParentsInACircleCostOnlyTheirOwnActivations) {
    startBus();
    startConnected(0, sessionEnv());
    harness::ScriptProcess app;
    startScript(app, "desktop_standins.py", {"app"}, sessionEnv());
    const auto activate = [&](const std::string& node) {
        std::string line;
        app.send("activate " + node);
        EXPECT_TRUE(app.waitLine("activate " + node, line));
    };
    const auto reportOf = [&](const std::string& title) {
        return json({{"pid", app.pid()}, {"proc", exeOf(app.pid())}, {"title", title}});
    };
    // The monitor's listener registers some time after its first line: until then activations are lost.
    json report;
    ASSERT_TRUE(waitFor([&] {
        activate("plain");
        return kx::awaitMessage(conn, "applicationChanged", report, 200);
    })) << "the monitor never reported an ordinary window";
    EXPECT_EQ(report.value("data", json::object()), reportOf("Plain"));
    activate("loop");    // its own parent, below any window
    activate("circled"); // a window, below two objects that name each other as parents
    activate("other");
    EXPECT_EQ(nextReport(), reportOf("Circled"));
    EXPECT_EQ(nextReport(), reportOf("Other"));
}

// ---- XWayland ----

// An Xvfb with openbox stands in for XWayland: reports come from X11, and a focus that leaves every X
// window is announced only when no accessibility monitor reports native applications.
TEST_F(WaylandTest, XWaylandWindowsAreReportedFromX11) {
    startX();
    startBus();
    harness::Process term;
    startClient(term, {"xterm", "-T", "Term One"}, {x.displayEnv(), "NO_AT_BRIDGE=1"});
    const std::string termWin = windowTitled("Term One", x.display());
    const std::string termReport =
        "[Reporting Application/Window Changed] pid=" + std::to_string(term.pid()) + " x11=Yes proc='xterm'";
    for (const bool accessibility : {false, true}) {
        std::vector<std::string> env = sessionEnv({x.displayEnv()});
        if (!accessibility) env.push_back("NO_AT_BRIDGE=1");
        restartService(env);
        EXPECT_EQ(nextReport(), json({{"pid", term.pid()}, {"proc", "xterm"}, {"title", "Term One"}}));
        EXPECT_TRUE(waitFor([&] { return countMatching(service.out(), termReport) == 1; }));
        EXPECT_TRUE(x.run({"xdotool", "windowminimize", "--sync", termWin}).ok());
        if (!accessibility) {
            EXPECT_TRUE(service.waitOut(NO_X_WINDOW));
        } else {
            // Nothing says that the monitor saw no window; it samples at least every 200 ms, so a focus on
            // no window that lasts longer cannot pass unseen (changes 5 ms apart are one change to it).
            EXPECT_TRUE(waitFor([&] {
                return x.run({"xprop", "-root", "_NET_ACTIVE_WINDOW"}).out ==
                       "_NET_ACTIVE_WINDOW(WINDOW): window id # 0x0\n";
            }));
            sleepMs(SETTLE_MS);
        }
        EXPECT_TRUE(x.run({"xdotool", "windowactivate", "--sync", termWin}).ok());
        // The same report again, so the reporter drops it: the monitor has seen no window and back.
        ASSERT_TRUE(service.waitOut("[Reporting Application/Window Changed] Duplicate, rejected"));
        EXPECT_EQ(countMatching(service.out(), termReport), 2u);
        EXPECT_EQ(contains(service.out(), NO_X_WINDOW), !accessibility) << accessibility;
    }
}

// The real thing once: weston nested in an Xvfb, with its XWayland. While a native Wayland GTK window has
// the focus, XWayland's _NET_ACTIVE_WINDOW is 0; the accessibility monitor reports the native window.
TEST_F(WaylandTest, WestonXWaylandGoesQuietWhileANativeWindowHasTheFocus) {
    std::string error;
    harness::XServerOptions outer;
    outer.screen = "1280x800x24";
    outer.windowManager = false;
    ASSERT_TRUE(x.start(outer, error)) << error;
    harness::Weston weston;
    ASSERT_TRUE(weston.start(x.display(), "/tmp/run", error)) << error;
    startBus();
    restartService(sessionEnv({"DISPLAY=" + weston.xDisplay(), weston.socketEnv()}));
    ASSERT_TRUE(service.waitOut("Accessibility detected: Using AT-SPI2 for active window monitoring."));
    harness::Process term;
    startClient(term, {"xterm", "-T", "Term One"}, {"DISPLAY=" + weston.xDisplay(), "NO_AT_BRIDGE=1"});
    EXPECT_EQ(nextReport(), json({{"pid", term.pid()}, {"proc", "xterm"}, {"title", "Term One"}}));

    harness::ScriptProcess gtk;
    startScript(gtk, "gtk_windows.py", {"Native"}, sessionEnv({weston.socketEnv(), "GDK_BACKEND=wayland"}));
    EXPECT_EQ(nextReport(), json({{"pid", gtk.pid()}, {"proc", exeOf(gtk.pid())}, {"title", "Native"}}));
    EXPECT_EQ(
        harness::run({"xprop", "-root", "_NET_ACTIVE_WINDOW"}, sessionEnv({"DISPLAY=" + weston.xDisplay()}))
            .out,
        "_NET_ACTIVE_WINDOW(WINDOW): window id # 0x0\n");
    // Super+Tab on the outer server switches weston's focus back to the terminal.
    EXPECT_TRUE(x.run({"xdotool", "keydown", "super", "key", "Tab", "keyup", "super"}).ok());
    EXPECT_EQ(nextReport(), json({{"pid", term.pid()}, {"proc", "xterm"}, {"title", "Term One"}}));
    EXPECT_FALSE(contains(service.out(), NO_X_WINDOW));
}

// ---- the process list ----

TEST_F(WaylandTest, ListsTheUsersOwnProcessesThenXWaylandWindows) {
    startX();
    // Programs named so that their command names need trimming, or are easy to find.
    makeDir("/tmp/bin", 0755);
    for (const std::string name : {" kxsleep ", "kx-other"})
        ASSERT_TRUE(harness::run({"cp", "/bin/sleep", "/tmp/bin/" + name}, harness::baseEnv()).ok());
    harness::Process mine, other, termOne, termTwo;
    startClient(mine, {"/tmp/bin/ kxsleep ", "600"}, {});
    startClient(other, {"/tmp/bin/kx-other", "600"}, {}, NOBODY);
    startClient(termOne, {"xterm", "-T", "Term One"}, {x.displayEnv(), "NO_AT_BRIDGE=1"});
    startClient(termTwo, {"xterm", "-T", "xterm"}, {x.displayEnv(), "NO_AT_BRIDGE=1"});
    windowTitled("Term One", x.display());
    windowTitled("xterm", x.display());

    const auto list = [&] {
        json entries;
        std::vector<json> passed;
        EXPECT_TRUE(kx::requestApplicationList(conn, entries, TIMEOUT_MS, &passed));
        return entries;
    };
    const auto has = [](const json& entries, const json& entry) {
        return std::find(entries.begin(), entries.end(), entry) != entries.end();
    };
    const auto countWhere = [](const json& entries, const char* member, const std::string& value) {
        return std::count_if(entries.begin(), entries.end(),
                             [&](const json& e) { return e.value(member, "") == value; });
    };
    restartService(sessionEnv({x.displayEnv(), "NO_AT_BRIDGE=1"}));
    json entries = list();
    EXPECT_TRUE(
        has(entries, {{"title", "Term One"}, {"processpath", "/usr/bin/xterm"}, {"platform", "x11"}}));
    EXPECT_TRUE(
        has(entries, {{"title", "kxsleep"}, {"processpath", "/tmp/bin/ kxsleep "}, {"platform", "wayland"}}));
    EXPECT_EQ(countWhere(entries, "processpath", "/tmp/bin/kx-other"), 0) << "another user's process";
    EXPECT_EQ(countWhere(entries, "title", "kthreadd"), 0) << "a kernel thread";
    EXPECT_EQ(countWhere(entries, "processpath", ""), 0);
    // Each xterm process is listed; the window titled like its program merges with them, the other not.
    EXPECT_TRUE(
        has(entries, {{"title", "xterm"}, {"processpath", "/usr/bin/xterm"}, {"platform", "wayland"}}));
    EXPECT_EQ(countWhere(entries, "title", "xterm"), 1);

    // The same from the other side: run as that other user, the service lists its process and not ours.
    service.kill();
    ASSERT_TRUE(harness::run({"rm", "-r", PIPE_DIR}, harness::baseEnv()).ok()); // root's, refused by nobody
    restartService(sessionEnv({"NO_AT_BRIDGE=1"}), NOBODY);
    entries = list();
    EXPECT_TRUE(
        has(entries, {{"title", "kx-other"}, {"processpath", "/tmp/bin/kx-other"}, {"platform", "wayland"}}));
    EXPECT_EQ(countWhere(entries, "title", "kxsleep"), 0);
}

// ---- pure pieces, in-process ----

TEST(WaylandPieces, RepeatWindowCountsWholeMillisecondsAndForgetsWhatCanNoLongerSuppress) {
    using namespace std::chrono;
    FocusTimes times;
    const steady_clock::time_point t0 = steady_clock::time_point() + hours(1);
    EXPECT_TRUE(admitFocusReport(times, "7:Alpha", t0));
    EXPECT_FALSE(admitFocusReport(times, "7:Alpha", t0 + microseconds(499999)));
    EXPECT_TRUE(admitFocusReport(times, "8:Alpha", t0 + milliseconds(1))); // another process
    EXPECT_TRUE(
        admitFocusReport(times, "7:Alpha", t0 + milliseconds(500))); // the suppressed one moved nothing
    // A long session of ever new titles (browser tabs) keeps only the last half second's.
    for (int i = 0; i < 10000; ++i)
        ASSERT_TRUE(
            admitFocusReport(times, "7:tab " + std::to_string(i), t0 + seconds(1) + milliseconds(10 * i)));
    EXPECT_LE(times.size(), 50u);
}

// ---- the accessibility probe ----

TEST_F(WaylandTest, ProbeSaysWhyAccessibilityCannotBeUsed) {
    startBus(false);
    const std::string noBridge =
        "Accessibility is not enabled (NO_AT_BRIDGE set). Falling back to XWayland/X11 "
        "monitoring; limited to X11 apps only." +
        PROBE_HINT;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"NO_AT_BRIDGE=1", noBridge},
        {"NO_AT_BRIDGE=", noBridge},
        {"DBUS_SESSION_BUS_ADDRESS=",
         "Accessibility is not enabled (no session D-Bus)." + FALLBACK + PROBE_HINT},
        {"DBUS_SESSION_BUS_ADDRESS=unix:path=/tmp/no-bus",
         "Accessibility is not enabled (cannot connect to session D-Bus)." + FALLBACK + PROBE_HINT},
        // A bus that cannot activate the accessibility bus; "0" does not switch accessibility off.
        {"NO_AT_BRIDGE=0",
         "Accessibility is not enabled (org.a11y.Bus is not running)." + FALLBACK + PROBE_HINT},
        // Then an accessibility bus whose address leads nowhere.
        {"NO_AT_BRIDGE=0", "Accessibility init failed (AT-SPI2) with error code: 2." + FALLBACK + PROBE_HINT},
    };
    harness::ScriptProcess a11y;
    for (const auto& [var, line] : cases) {
        if (line.find("code: 2") != std::string::npos)
            startScript(a11y, "desktop_standins.py", {"a11y"}, sessionEnv());
        restartService(sessionEnv({var}));
        ASSERT_TRUE(service.waitOut(X11_THREAD)) << line;
        const std::vector<std::string> out = service.out();
        EXPECT_EQ(countMatching(out, "Accessibility "), 1u) << line;
        EXPECT_TRUE(contains(out, line)) << line;
        EXPECT_FALSE(contains(out, NATIVE_THREAD)) << line;
    }
}

// ---- screenshots ----

const std::string NO_X_DISPLAY = "Unable to track application focus changes. Could not open X display.";

// The service beside the stand-ins of the shell's screenshot service and the portal, on a bus that
// activates nothing, so that only they answer.
class ScreenshotTest : public WaylandTest {
  protected:
    void SetUp() override {
        WaylandTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        startBus(false);
        makeDir("/tmp/kxtmp", 0700);
        makeDir("/tmp/home/Pictures", 0700);
        startScript(shell, "desktop_standins.py", {"shell"}, sessionEnv());
    }
    // `extra` as for sessionEnv; returns once the focus thread's start-up lines, which would otherwise
    // fall among those of the first requests, are written.
    void startService(std::vector<std::string> extra, const std::string& focusLine) {
        extra.push_back("TMPDIR=/tmp/kxtmp");
        restartService(sessionEnv(extra));
        ASSERT_TRUE(service.waitOut(X11_THREAD));
        ASSERT_TRUE(waitFor([&] {
            return contains(service.out(), focusLine) || contains(service.err(), focusLine);
        })) << focusLine;
        outSeen = service.out().size();
        errSeen = service.err().size();
    }
    // A command to a stand-in, once it has taken it.
    static void tell(harness::ScriptProcess& standIn, const std::string& command) {
        std::string line;
        standIn.send(command);
        ASSERT_TRUE(standIn.waitLine(command.substr(0, command.find_last_not_of(' ') + 1), line)) << command;
    }
    static size_t calls(const harness::ScriptProcess& standIn, const std::string& prefix) {
        return countMatching(standIn.lines(), prefix);
    }
    struct Shot {
        Logged logged;
        std::string base64;
    };
    Shot shot(int x, int y, int w, int h) {
        Shot s;
        s.logged = exchange(kx::regionScreenshotMessage("u", x, y, w, h).dump());
        json reply;
        EXPECT_TRUE(kx::awaitMessage(conn, "getRegionScreenshot", reply, TIMEOUT_MS));
        s.base64 = reply.value("data", json::object()).value("base64", "?");
        return s;
    }
    // The service without X, the shell refusing, the portal saving the screen as /tmp/run/shot.png.
    void startRefusingShellAndPortal() {
        startScript(portal, "desktop_standins.py", {"portal"}, sessionEnv());
        startService({}, NO_X_DISPLAY);
        tell(shell, "mode denied");
        tell(portal, "savedir /tmp/run");
        tell(portal, "name shot.png");
    }
    // The milliseconds a line that begins with `prefix` names right after it; -1 for another line.
    static int msAfter(const std::string& line, const std::string& prefix) {
        return line.rfind(prefix, 0) == 0 ? std::atoi(line.c_str() + prefix.size()) : -1;
    }

    harness::ScriptProcess shell, portal;
};

TEST_F(ScreenshotTest, ScreenshotsComeFromTheShellOrElseThePortal) {
    startService({}, NO_X_DISPLAY);
    const auto filesIn = [](const std::string& dir) {
        return harness::run({"find", dir, "-type", "f", "-printf", "%f "}, harness::baseEnv()).out;
    };

    // The shell writes the rectangle to a file the service made for it, and never flashes.
    Shot s = shot(10, 20, 120, 80);
    std::string call;
    ASSERT_TRUE(shell.waitLine("call shell ", call));
    EXPECT_EQ(call.substr(0, call.size() - 10) + "XXXXXX.png",
              "call shell 10 20 120 80 false /tmp/kxtmp/gnome_scr_XXXXXX.png");
    Picture p = decodePng(s.base64);
    ASSERT_EQ(p.width, 120);
    ASSERT_EQ(p.height, 80);
    EXPECT_EQ(p.at(0, 0), painted(10, 20));
    EXPECT_EQ(p.at(119, 79), painted(129, 99));
    EXPECT_EQ(s.logged.err, std::vector<std::string>());

    // An empty or vanished file is the shell's answer: no portal.
    tell(shell, "mode empty");
    s = shot(0, 0, 5, 5);
    EXPECT_EQ(s.base64, "");
    EXPECT_EQ(s.logged.err, std::vector<std::string>());
    tell(shell, "mode delete");
    s = shot(0, 0, 5, 5);
    ASSERT_TRUE(shell.waitLine("call shell ", call));
    EXPECT_EQ(s.base64, "");
    EXPECT_EQ(s.logged.err, std::vector<std::string>({"Kon het screenshotbestand niet openen voor lezen: " +
                                                      call.substr(call.rfind(' ') + 1)}));

    // Refused, and no portal either.
    tell(shell, "mode denied");
    s = shot(0, 0, 5, 5);
    EXPECT_EQ(s.base64, "");
    ASSERT_EQ(s.logged.err.size(), 2u);
    EXPECT_EQ(s.logged.err[0], "D-Bus aanroep mislukt: GDBus.Error:org.freedesktop.DBus.Error.AccessDenied: "
                               "ScreenshotArea is not allowed");
    EXPECT_NE(s.logged.err[1].find("Desktop portal screenshot failed: "), std::string::npos);

    // Refused, and the portal gives the whole screen: the rectangle is cut from it, clamped to the screen
    // as on X11, with alpha.
    startScript(portal, "desktop_standins.py", {"portal"}, sessionEnv());
    tell(portal, "savedir /tmp/run");
    for (const auto& r :
         std::vector<std::array<int, 6>>{{-10, 5, 100, 50, 100, 50}, {1900, 1070, 100, 100, 20, 10}}) {
        s = shot(r[0], r[1], r[2], r[3]);
        p = decodePng(s.base64);
        ASSERT_EQ(p.width, r[4]);
        ASSERT_EQ(p.height, r[5]);
        EXPECT_TRUE(p.alpha);
        const int x0 = std::max(r[0], 0), y0 = std::max(r[1], 0);
        EXPECT_EQ(p.at(0, 0), painted(x0, y0));
        EXPECT_EQ(p.at(p.width - 1, p.height - 1), painted(x0 + p.width - 1, y0 + p.height - 1));
        ASSERT_TRUE(portal.waitLine("call portal ", call));
        EXPECT_NE(call.find("interactive=false"), std::string::npos);
    }
    EXPECT_EQ(shot(1920, 0, 8, 8).base64, ""); // nothing of it on the screen
    EXPECT_EQ(filesIn("/tmp/run"), "");

    // The portal's file is removed when the portal made it for this request, wherever it lies; whatever
    // else the answer names stays untouched: a file that was there before, another's, one with a second
    // name, and a link (not followed either), which the portal writes through.
    tell(shell, "mode error");
    ASSERT_EQ(symlink("/tmp/run/target.png", "/tmp/run/planted.png"), 0);
    struct Saved {
        std::string mode, dir, name;
        bool stays;
    };
    for (const Saved& c : std::vector<Saved>{{"ok", "/tmp/home/Pictures", "new.png", false},
                                             {"coarse", "/tmp/home/Pictures", "coarse.png", false},
                                             {"stale", "/tmp/run", "stale.png", true},
                                             {"foreign", "/tmp/run", "foreign.png", true},
                                             {"linked", "/tmp/run", "linked.png", true},
                                             {"ok", "/tmp/run", "planted.png", true}}) {
        tell(portal, "savedir " + c.dir);
        tell(portal, "name " + c.name);
        tell(portal, "mode " + c.mode);
        s = shot(0, 0, 8, 8);
        const bool link = c.name == "planted.png";
        EXPECT_EQ(decodePng(s.base64).width, link ? 0 : 8) << c.name;
        struct stat st;
        EXPECT_EQ(lstat((c.dir + "/" + c.name).c_str(), &st) == 0, c.stays) << c.name;
        if (link) {
            EXPECT_TRUE(S_ISLNK(st.st_mode));
            EXPECT_EQ(s.logged.err.back(),
                      "Desktop portal screenshot: /tmp/run/planted.png is a link; not followed");
        }
    }
    const std::string kept = " " + filesIn("/tmp/run");
    for (const std::string name : {"foreign.png", "linked.png", "linked.png.also", "stale.png", "target.png"})
        EXPECT_NE(kept.find(" " + name + " "), std::string::npos) << name;
    EXPECT_EQ(std::count(kept.begin(), kept.end(), ' '), 6) << kept;
    EXPECT_EQ(filesIn("/tmp/home/Pictures"), "");

    // Where X clients see the desktop (XWayland), the shell is asked for the part on it only, as an X11
    // capture gives it; of a rectangle wholly off it, for nothing.
    harness::XServerOptions small;
    small.screen = "1280x720x24";
    small.windowManager = false;
    std::string error;
    ASSERT_TRUE(x.start(small, error)) << error;
    startService({x.displayEnv(), "NO_AT_BRIDGE=1"}, X11_THREAD); // it logs nothing more on errors
    tell(shell, "mode ok");
    shell.skipAll();
    const size_t before = calls(shell, "call shell ");
    for (const auto& r : std::vector<std::array<int, 8>>{{1200, 700, 100, 100, 1200, 700, 80, 20},
                                                         {-10, 5, 100, 50, 0, 5, 100, 50}}) {
        p = decodePng(shot(r[0], r[1], r[2], r[3]).base64);
        ASSERT_TRUE(shell.waitLine("call shell ", call));
        EXPECT_EQ(call.substr(0, call.find(" false ")),
                  "call shell " + std::to_string(r[4]) + " " + std::to_string(r[5]) + " " +
                      std::to_string(r[6]) + " " + std::to_string(r[7]));
        EXPECT_EQ(p.width, r[6]);
        EXPECT_EQ(p.height, r[7]);
    }
    s = shot(1280, 0, 8, 8);
    EXPECT_EQ(s.base64, "");
    EXPECT_TRUE(contains(s.logged.err, "Screenshot: the region lies outside the 1280x720 desktop"));
    EXPECT_EQ(calls(shell, "call shell "), before + 2);

    // No file made by the service outlived its request.
    EXPECT_EQ(filesIn("/tmp/kxtmp"), "");
}

// The portal's answer is read with care, whatever it names: an image larger than the desktop (than any
// desktop, where the desktop is unknown) is refused before a pixel is decoded, and a uri of another
// host's file or with a query or fragment names no file of ours. Each is an empty reply and one line;
// a file the uri does not name as ours is left alone. A stand-in portal: the real ones send none of these.
TEST_F(ScreenshotTest, PortalAnswersThatAreNoScreenOfOursAreRefusedUnread) {
    startRefusingShellAndPortal();
    const std::string path = "/tmp/run/shot.png", refused = "Desktop portal screenshot: not a local file: ";
    struct Case {
        std::string mode, uri, line; // line: the last on standard error; "" for an image read
        bool stays;
    };
    for (const Case& c : std::vector<Case>{
             {"bomb", "file://%s",
              "Desktop portal screenshot: " + path + " is 30000x30000, larger than any desktop; not decoded", false},
             {"ok", "file://otherhost%s", refused + "file://otherhost" + path, true},
             {"ok", "file://%s?x=1", refused + "file://" + path + "?x=1", true},
             {"ok", "file://%s#top", refused + "file://" + path + "#top", true},
             {"ok", "http://localhost%s", refused + "http://localhost" + path, true},
             {"ok", "file://localhost%s", "", false},
         }) {
        SCOPED_TRACE(c.mode + " " + c.uri);
        unlink(path.c_str());
        tell(portal, "mode " + c.mode);
        tell(portal, "uri " + c.uri);
        const Shot s = shot(0, 0, 8, 8);
        EXPECT_EQ(decodePng(s.base64).width, c.line.empty() ? 8 : 0);
        ASSERT_FALSE(s.logged.err.empty());
        if (!c.line.empty()) {
            EXPECT_EQ(s.logged.err.back(), c.line);
        }
        struct stat st;
        EXPECT_EQ(lstat(path.c_str(), &st) == 0, c.stays);
    }
    // Decoding the bomb would have taken gigabytes.
    std::ifstream status("/proc/" + std::to_string(service.pid()) + "/status");
    std::string line;
    while (std::getline(status, line) && line.rfind("VmHWM:", 0) != 0) {
    }
    EXPECT_LT(std::atol(line.c_str() + 6), 200 * 1024) << line;

    // Where X clients see the desktop, the portal's image may not be larger than it.
    harness::XServerOptions small;
    small.screen = "1280x720x24";
    small.windowManager = false;
    std::string error;
    ASSERT_TRUE(x.start(small, error)) << error;
    startService({x.displayEnv(), "NO_AT_BRIDGE=1"}, X11_THREAD);
    tell(portal, "mode ok");
    const Shot s = shot(0, 0, 8, 8);
    EXPECT_EQ(s.base64, "");
    EXPECT_EQ(s.logged.err.back(),
              "Desktop portal screenshot: " + path + " is 1920x1080, larger than the 1280x720 desktop; not decoded");
}

// A portal's image in RGBA, as GNOME's is, asked for whole: an opaque one is the reply as it came, one
// with a transparent pixel comes back opaque, as every capture does.
TEST_F(ScreenshotTest, PortalImagesInRgbaComeBackOpaque) {
    startRefusingShellAndPortal();
    for (const std::string mode : {"opaque", "translucent"}) {
        SCOPED_TRACE(mode);
        tell(portal, "mode " + mode);
        const Picture p = decodePng(shot(0, 0, 1920, 1080).base64);
        ASSERT_EQ(p.width, 1920);
        ASSERT_EQ(p.height, 1080);
        EXPECT_TRUE(p.alpha);
        EXPECT_EQ(p.translucent, 0);
        EXPECT_EQ(pixelsOffPattern(p, 0, 0), 0);
    }
}

// A request ends within its time (30 s; the tests shorten it), whichever step the desktop hangs in: a
// shell that hangs leaves nothing to wait for, since the portal would ask that same shell; the portal
// gets what the shell left. One line says which step ran out of time.
TEST_F(ScreenshotTest, ARequestEndsInTimeWhicheverStepHangs) {
    startScript(portal, "desktop_standins.py", {"portal"}, sessionEnv());
    startService({"KX_TEST_SCREENSHOT_TIMEOUT_MS=2000"}, NO_X_DISPLAY);
    tell(shell, "mode hang");
    Shot s = shot(0, 0, 5, 5);
    EXPECT_EQ(s.base64, "");
    ASSERT_EQ(s.logged.err.size(), 1u);
    const int shellMs = msAfter(
        s.logged.err[0], "Screenshot timed out: the shell's ScreenshotArea call gave no answer within ");
    EXPECT_TRUE(shellMs > 1500 && shellMs <= 2000) << s.logged.err[0];
    EXPECT_EQ(calls(portal, "call portal "), 0u);

    // The shell refuses after 1.5 s: the portal's answer is awaited for the half second left.
    tell(shell, "delay 1500");
    tell(shell, "mode denied");
    tell(portal, "mode silent");
    s = shot(0, 0, 5, 5);
    EXPECT_EQ(s.base64, "");
    ASSERT_EQ(s.logged.err.size(), 2u);
    EXPECT_EQ(s.logged.err[0].rfind("D-Bus aanroep mislukt: ", 0), 0u);
    const int answerMs =
        msAfter(s.logged.err[1], "Screenshot timed out: the desktop portal's answer did not come within ");
    EXPECT_TRUE(answerMs >= 0 && answerMs <= 500) << s.logged.err[1];
    EXPECT_NE(s.logged.err[1].find(" ms; request closed"), std::string::npos);

    // A portal that never returns from its call.
    tell(shell, "delay 0");
    tell(portal, "mode hang");
    s = shot(0, 0, 5, 5);
    EXPECT_EQ(s.base64, "");
    ASSERT_EQ(s.logged.err.size(), 2u);
    const int callMs = msAfter(
        s.logged.err[1], "Screenshot timed out: the desktop portal's Screenshot call gave no answer within ");
    EXPECT_TRUE(callMs > 1500 && callMs <= 2000) << s.logged.err[1];

    // At the real bound, with a portal that takes the request and never answers; the command after it
    // is read and answered as soon as the bound is over.
    startService({}, NO_X_DISPLAY);
    tell(portal, "mode silent");
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(kx::sendMessage(conn, kx::regionScreenshotMessage("u", 0, 0, 5, 5)));
    ASSERT_TRUE(kx::sendMessage(conn, kx::applicationListMessage()));
    json reply;
    ASSERT_TRUE(kx::awaitMessage(conn, "getRegionScreenshot", reply, 40000));
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked)
            .count();
    EXPECT_LE(took, 31000);
    EXPECT_EQ(reply.at("data").at("base64"), "");
    EXPECT_TRUE(kx::awaitMessage(conn, "listOfActiveProcesses", reply, 2000));
    const std::vector<std::string> err = service.err();
    EXPECT_EQ(countMatching(err, "Screenshot timed out: "), 1u);
    EXPECT_EQ(countMatching(err, "Screenshot timed out: the desktop portal's answer did not come within "),
              1u);
}

} // namespace
