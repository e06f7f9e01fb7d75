// The Wayland backend on the real GNOME Shell (headless, with XWayland, the real accessibility bus and
// a keyboard on its seat), the service run as a GNOME session runs it: focus reports for native and
// XWayland windows of several toolkits, the list, and a service that keeps answering when the shell or
// the accessibility bus dies under it. Each test shares one shell among its checks.
#include "gnome_shell.h"
#include "script_process.h"
#include "service_harness.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <memory>

#include <sys/stat.h>

using namespace it;
using nlohmann::json;

namespace {

// The shell draws in software on one thread: on a loaded machine it stalls for many seconds, and with
// it everything that waits on the shell (a window mapped, the focus moved).
constexpr int SHELL_MS = 60000;

struct WindowKind {
    std::string title;
    std::vector<std::string> command; // after the GTK helper's own when `backend` is set
    std::string backend;              // GDK_BACKEND of a GTK window
    // Reported from XWayland, by command name; else from the accessibility bus, by executable.
    bool xwayland;
};

const std::vector<WindowKind> KINDS = {
    {"GTK 3 on Wayland", {"GTK 3 on Wayland"}, "wayland", false},
    {"GTK 4 on Wayland", {"--gtk4", "GTK 4 on Wayland"}, "wayland", false},
    {"xterm on XWayland", {"xterm", "-T", "xterm on XWayland"}, "", true},
    {"GTK 3 on XWayland", {"GTK 3 on XWayland"}, "x11", true},
};
enum { GTK3_WAYLAND, GTK4_WAYLAND, XTERM, GTK3_XWAYLAND };

class GnomeShellTest : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        std::string error;
        ASSERT_TRUE(shell.start(shellOptions, error)) << error;
    }
    void TearDown() override {
        ServiceTest::TearDown();
        windows.clear();
        shell.stop();
    }

    void startService() { startConnected(0, shell.sessionEnv()); }
    harness::GnomeShellOptions shellOptions;
    // Opens a window of each kind and waits for the shell to know them all.
    void openWindows() {
        for (const WindowKind& kind : KINDS) {
            harness::SpawnOptions options;
            options.env = shell.sessionEnv(kind.backend.empty()
                                               ? std::vector<std::string>{}
                                               : std::vector<std::string>{"GDK_BACKEND=" + kind.backend});
            options.errPath = "/tmp/kx-test/" + kind.title + ".err";
            std::vector<std::string> command = kind.command;
            if (!kind.backend.empty()) {
                command = harness::scriptCommand("gtk_windows.py");
                command.insert(command.end(), kind.command.begin(), kind.command.end());
            }
            windows.push_back(std::make_unique<harness::Process>());
            std::string error;
            ASSERT_TRUE(windows.back()->start(command, options, &error)) << error;
        }
        for (const WindowKind& kind : KINDS) {
            std::string found;
            ASSERT_TRUE(waitFor(
                [&] {
                    return shell.eval("global.display.list_all_windows().some(w => w.get_title() == " +
                                          json(kind.title).dump() + ")",
                                      &found) &&
                           found == "true";
                },
                SHELL_MS))
                << kind.title
                << " never appeared: " << harness::readWholeFile("/tmp/kx-test/" + kind.title + ".err");
        }
    }
    json expectedReport(size_t kind) {
        const pid_t pid = windows[kind]->pid();
        return {{"pid", pid},
                {"proc", KINDS[kind].xwayland ? harness::commOf(pid) : harness::exeOf(pid)},
                {"title", KINDS[kind].title}};
    }
    // Makes `kind` the active window and lets the reports of everything before settle: new windows are
    // activated as they map, and a loaded machine delivers those reports late.
    void settleOn(size_t kind) {
        EXPECT_TRUE(shell.activateWindow(KINDS[kind].title));
        sleepMs(QUIET_MS);
        focusReports(QUIET_MS);
    }
    std::vector<json> activate(size_t kind) {
        if (shell.activateWindow(KINDS[kind].title)) return focusReports(SHELL_MS);
        ADD_FAILURE() << "the shell did not activate " << KINDS[kind].title;
        return {};
    }
    // The service still answers a list and the version, and writes each answer's lines.
    void expectAnswers(const std::string& when) {
        json entries;
        EXPECT_TRUE(kx::requestApplicationList(conn, entries, TIMEOUT_MS)) << "no list " << when;
        EXPECT_TRUE(entries.is_array() && !entries.empty()) << when;
        const Logged version = exchange(R"({"type":"getVersion","data":{}})");
        EXPECT_TRUE(std::any_of(
            version.out.begin(), version.out.end(),
            [](const std::string& line) { return line.rfind("Linux Services Version: ", 0) == 0; }))
            << "no version " << when << ": " << testing::PrintToString(version.out);
        EXPECT_TRUE(service.running()) << when;
    }

    harness::GnomeShell shell;
    std::vector<std::unique_ptr<harness::Process>> windows;
};

// Each kind of window, activated by the shell, is reported once with its process and title: native
// Wayland windows from the accessibility bus (by executable), XWayland ones from the X server (by
// command name). A GTK window on XWayland is also on the accessibility bus: that must not make a second
// report with the other monitor's process text, however often it comes back.
TEST_F(GnomeShellTest, EachKindOfWindowIsReportedOncePerActivation) {
    startService();
    ASSERT_TRUE(service.waitOut("Accessibility detected: Using AT-SPI2 for active window monitoring."));
    ASSERT_NO_FATAL_FAILURE(openWindows());
    settleOn(KINDS.size() - 1);
    for (size_t kind = 0; kind < KINDS.size(); ++kind)
        EXPECT_EQ(activate(kind), std::vector<json>{expectedReport(kind)}) << KINDS[kind].title;

    for (size_t native : {GTK3_WAYLAND, GTK4_WAYLAND, GTK3_WAYLAND}) {
        EXPECT_EQ(activate(native), std::vector<json>{expectedReport(native)}) << KINDS[native].title;
        EXPECT_EQ(activate(GTK3_XWAYLAND), std::vector<json>{expectedReport(GTK3_XWAYLAND)})
            << "coming back from " << KINDS[native].title;
    }
}

// The list: XWayland's windows with their titles, merged with the user's processes from /proc.
TEST_F(GnomeShellTest, ListsXWaylandWindowsWithTheProcesses) {
    startService();
    ASSERT_NO_FATAL_FAILURE(openWindows());
    json entries;
    ASSERT_TRUE(kx::requestApplicationList(conn, entries, TIMEOUT_MS));
    const auto has = [&](const std::string& title, const std::string& path, const std::string& platform) {
        return std::count(entries.begin(), entries.end(),
                          json({{"platform", platform}, {"processpath", path}, {"title", title}})) == 1;
    };
    for (size_t kind = 0; kind < KINDS.size(); ++kind) {
        const pid_t pid = windows[kind]->pid();
        EXPECT_EQ(has(KINDS[kind].title, harness::exeOf(pid), "x11"), KINDS[kind].xwayland)
            << KINDS[kind].title;
        EXPECT_TRUE(has(harness::commOf(pid), harness::exeOf(pid), "wayland")) << KINDS[kind].title;
    }
    EXPECT_TRUE(has("gnome-shell", harness::exeOf(shell.pid()), "wayland"));
    EXPECT_TRUE(std::is_sorted(entries.begin(), entries.end(), [](const json& a, const json& b) {
        return std::make_pair(a["title"], a["processpath"]) < std::make_pair(b["title"], b["processpath"]);
    }));
}

// The desktop goes away under a running service: it follows what is left and answers every command.
TEST_F(GnomeShellTest, AnswersOnceTheShellIsKilled) {
    startService();
    ASSERT_NO_FATAL_FAILURE(openWindows());
    settleOn(GTK3_WAYLAND);
    EXPECT_EQ(activate(XTERM), std::vector<json>{expectedReport(XTERM)});
    kill(shell.pid(), SIGKILL);
    // XWayland and the Wayland clients end with their compositor.
    EXPECT_TRUE(waitFor([&] { return harness::exeOf(windows[XTERM]->pid()).empty(); }));
    expectAnswers("after the shell died");
    json entries;
    ASSERT_TRUE(kx::requestApplicationList(conn, entries, TIMEOUT_MS));
    for (const json& entry : entries)
        EXPECT_EQ(entry.value("platform", ""), "wayland") << entry.dump();
}

TEST_F(GnomeShellTest, AnswersOnceTheAccessibilityBusIsKilled) {
    startService();
    ASSERT_TRUE(service.waitOut("Accessibility detected: Using AT-SPI2 for active window monitoring."));
    ASSERT_NO_FATAL_FAILURE(openWindows());
    settleOn(XTERM);
    EXPECT_EQ(activate(GTK3_WAYLAND), std::vector<json>{expectedReport(GTK3_WAYLAND)});
    // The bus's daemon, a child of the launcher that owns org.a11y.Bus.
    const pid_t launcher = shell.busNameOwner("org.a11y.Bus");
    ASSERT_GT(launcher, 0);
    const std::string children = harness::readWholeFile("/proc/" + std::to_string(launcher) + "/task/" +
                                                        std::to_string(launcher) + "/children");
    const pid_t daemon = pid_t(std::atoi(children.c_str()));
    ASSERT_EQ(harness::commOf(daemon), "dbus-daemon");
    kill(daemon, SIGKILL);
    EXPECT_EQ(activate(XTERM), std::vector<json>{expectedReport(XTERM)});
    expectAnswers("after the accessibility bus died");
}

// The session's settings in dconf, as on a desktop, so that the service sees what the shell writes.
class GnomeShellSettingsTest : public GnomeShellTest {
  protected:
    GnomeShellSettingsTest() { shellOptions.env = {"GSETTINGS_BACKEND=dconf"}; }
};

// A switch made through the shell's own input-source switcher: the shell records it in mru-sources (only
// while IBus runs, which the shell starts itself), and the keys follow, as the service's log line says.
TEST_F(GnomeShellSettingsTest, KeysFollowTheInputSourceChosenInTheShell) {
    const std::string manager = "imports.ui.status.keyboard.getInputSourceManager()";
    ASSERT_TRUE(shell.eval("new imports.gi.Gio.Settings({schema_id: 'org.gnome.desktop.input-sources'})"
                           ".set_value('sources', new imports.gi.GLib.Variant('a(ss)', "
                           "[['xkb', 'us'], ['xkb', 'de'], ['xkb', 'fr+azerty']]))"));
    // The sources known and the shell recording switches. Before IBus is up it records none, and on a
    // loaded machine its first switch after IBus came up went unrecorded too: the current source is
    // chosen until the shell has recorded it.
    const std::string settings =
        "new imports.gi.Gio.Settings({schema_id: 'org.gnome.desktop.input-sources'})";
    std::string first;
    for (const auto start = std::chrono::steady_clock::now();
         std::chrono::steady_clock::now() - start < std::chrono::milliseconds(SHELL_MS);
         harness::sleepMs(500)) {
        if (shell.eval("Object.keys(" + manager + ".inputSources).length == 3 && " + manager + "._ibusReady",
                       &first) &&
            first == "true" && shell.eval(manager + ".inputSources[0].activate(true)") &&
            shell.eval("(" + settings + ".get_value('mru-sources').deep_unpack()[0] || [])[1]", &first) &&
            first == "\"us\"")
            break;
    }
    ASSERT_EQ(first, "\"us\"") << "the shell records no switch";
    startService();
    const std::string MRU = settings + ".get_value('mru-sources').print(true)";
    std::string state;
    for (const auto& [index, name] :
         std::vector<std::pair<int, std::string>>{{1, "de"}, {2, "fr(azerty)"}, {0, "us"}}) {
        const size_t seen = service.out().size();
        const std::string line =
            "[Layout] Keys follow the keyboard layout " + name + " (GNOME input sources)";
        // On a loaded machine the shell was seen to undo a switch just made, its recorded sources still
        // naming the previous one (the shell starts over from them whenever IBus comes back): the switch
        // is made again until one holds.
        bool followed = false;
        for (const auto start = std::chrono::steady_clock::now();
             !followed && std::chrono::steady_clock::now() - start < std::chrono::milliseconds(SHELL_MS);) {
            ASSERT_TRUE(shell.eval(manager + ".inputSources[" + std::to_string(index) + "].activate(true)"));
            followed = service.waitOut(line, seen, 3000);
        }
        EXPECT_TRUE(followed) << line << "; the shell's IBus is ready: "
                              << (shell.eval(manager + "._ibusReady", &state), state)
                              << "; mru-sources: " << (shell.eval(MRU, &state), state)
                              << "; logged: " << testing::PrintToString(service.out());
    }
}

} // namespace

// ---- the applications people run, with the service managing the accessibility switch ----

namespace {

// One application as a user starts it: its windows are those the shell lists with its pid.
struct App {
    std::string name;
    std::vector<std::vector<std::string>> commands; // each opens one more window, in turn
    std::vector<std::string> env;
};

// A fresh profile that never goes to the network nor asks anything on its first run.
std::string firefoxProfile(const std::string& dir) {
    makeDir(dir, 0700);
    writeFile(dir + "/user.js", R"(user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("browser.startup.homepage_override.mstone", "ignore");
user_pref("browser.aboutwelcome.enabled", false);
user_pref("browser.startup.page", 0);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("toolkit.telemetry.reportingpolicy.firstRun", false);
user_pref("app.update.auto", false);
user_pref("extensions.update.enabled", false);
user_pref("browser.safebrowsing.malware.enabled", false);
user_pref("browser.safebrowsing.phishing.enabled", false);
user_pref("browser.safebrowsing.downloads.enabled", false);
user_pref("network.captive-portal-service.enabled", false);
user_pref("network.connectivity-service.enabled", false);
user_pref("browser.sessionstore.resume_from_crash", false);
user_pref("toolkit.startup.max_resumed_crashes", -1);
)");
    return dir;
}

class GnomeShellApps : public GnomeShellTest {
  protected:
    // The titles of the windows of process `pid`, as the shell lists them.
    std::vector<std::string> titlesOf(pid_t pid) {
        std::string found;
        shell.eval("JSON.stringify(global.display.list_all_windows().filter(w => w.get_pid() == " +
                       std::to_string(pid) + ").map(w => w.get_title()))",
                   &found);
        const json list = json::parse(json::parse(found, nullptr, false).get<std::string>(), nullptr, false);
        return list.is_array() ? list.get<std::vector<std::string>>() : std::vector<std::string>{};
    }
    // Starts the application's commands one after the other, each once the windows so far are up.
    std::vector<std::string> startApp(harness::Process& process, const App& app) {
        std::vector<std::string> titles;
        for (size_t i = 0; i < app.commands.size(); ++i) {
            harness::SpawnOptions options;
            options.env = shell.sessionEnv(app.env);
            options.errPath = "/tmp/kx-test/" + app.name + ".err";
            std::string error;
            if (i == 0) {
                EXPECT_TRUE(process.start(app.commands[i], options, &error)) << error;
            } else {
                harness::Process opener; // hands its window to the running instance
                EXPECT_TRUE(opener.start(app.commands[i], options, &error)) << error;
                opener.wait(SHELL_MS);
            }
            EXPECT_TRUE(waitFor(
                [&] {
                    titles = titlesOf(process.pid());
                    return titles.size() == i + 1 &&
                           std::none_of(titles.begin(), titles.end(), [](auto& t) { return t.empty(); });
                },
                SHELL_MS))
                << app.name << " window " << i << ": " << testing::PrintToString(titles) << " "
                << harness::readWholeFile(options.errPath);
        }
        return titles;
    }
    std::string shellFocus() {
        std::string focus;
        shell.eval("(() => { const w = global.display.focus_window; return w ? w.get_title() + ' pid ' + "
                   "w.get_pid() : 'none'; })() + ' / ' + JSON.stringify(global.display.list_all_windows()"
                   ".map(w => [w.get_title(), w.minimized, w.showing_on_its_workspace(), w.appears_focused]))",
                   &focus);
        return focus;
    }
    std::string accessibilitySwitch() {
        const harness::RunResult r =
            harness::run({"gdbus", "call", "--session", "-d", "org.a11y.Bus", "-o", "/org/a11y/bus", "-m",
                          "org.freedesktop.DBus.Properties.Get", "org.a11y.Status", "IsEnabled"},
                         shell.sessionEnv());
        return r.out == "(<true>,)\n" ? "true" : r.out == "(<false>,)\n" ? "false" : r.out + r.err;
    }
};

// Firefox on Wayland, every window of a GTK 4 application (those after the first are "fillers"), and Qt
// started after the service: each activation is reported once, with the process and title. The window
// active as the service starts is reported once; the switch is back off once the service has ended.
TEST_F(GnomeShellApps, EachActivationOfTheApplicationsPeopleRunIsReported) {
    mkdir("/tmp/kx-test", 0755); // the service's start makes it too, but its windows come first here
    ASSERT_NO_FATAL_FAILURE(openWindows());
    settleOn(GTK3_WAYLAND);
    ASSERT_EQ(accessibilitySwitch(), "false");
    // A window mapped late may have taken the focus since: the shell says which has it.
    std::string focused;
    ASSERT_TRUE(shell.eval("global.display.focus_window.get_title()", &focused));
    const auto kind = std::find_if(KINDS.begin(), KINDS.end(),
                                   [&](const WindowKind& k) { return json(k.title).dump() == focused; });
    ASSERT_NE(kind, KINDS.end()) << focused;
    startService();
    EXPECT_EQ(focusReports(SHELL_MS), std::vector<json>{expectedReport(size_t(kind - KINDS.begin()))});
    EXPECT_EQ(accessibilitySwitch(), "true");

    const std::string profile = firefoxProfile("/tmp/firefox-profile");
    writeFile("/tmp/one.txt", "one\n");
    writeFile("/tmp/fox-one.html", "<title>Fox One</title>");
    writeFile("/tmp/fox-two.html", "<title>Fox Two</title>");
    writeFile("/tmp/two.txt", "two\n");
    std::vector<App> apps = {
        {"gnome-text-editor",
         {{"gnome-text-editor", "--ignore-session", "/tmp/one.txt"},
          {"gnome-text-editor", "--new-window", "/tmp/two.txt"}},
         {}},
        {"qterminal", {{"qterminal"}}, {"QT_QPA_PLATFORM=wayland"}},
    };
    // A browser in a shell that renders in software takes minutes and stalls the shell for tens of
    // seconds at a time: too slow and too uneven for every run, so on demand (bench/gnome_apps.sh).
    if (const char* browsers = getenv("KX_TEST_BROWSERS"); browsers && std::string(browsers) == "1")
        apps.push_back({"firefox",
                        {{"firefox-esr", "--profile", profile, "file:///tmp/fox-one.html"},
                         {"firefox-esr", "--profile", profile, "--new-window", "file:///tmp/fox-two.html"}},
                        {"MOZ_ENABLE_WAYLAND=1"}});
    for (const App& app : apps) {
        harness::Process process;
        const std::vector<std::string> titles = startApp(process, app);
        if (titles.empty()) continue;
        // A window is activated as it maps: its report comes first, or it would come amid the others.
        json report;
        EXPECT_TRUE(waitFor(
            [&] {
                return kx::awaitMessage(conn, "applicationChanged", report, 200) &&
                       report["data"].value("pid", 0) == process.pid();
            },
            SHELL_MS))
            << app.name << " was not reported as it mapped";
        settleOn(XTERM);
        for (int round = 0; round < 2; ++round)
            for (const std::string& title : titles) {
                EXPECT_TRUE(shell.activateWindow(title));
                EXPECT_EQ(focusReports(SHELL_MS), std::vector<json>({{{"pid", process.pid()},
                                                                      {"proc", harness::exeOf(process.pid())},
                                                                      {"title", title}}}))
                    << app.name << " " << title << "; the shell's focus: " << shellFocus();
                EXPECT_EQ(activate(XTERM), std::vector<json>{expectedReport(XTERM)}) << app.name;
            }
    }
    kx::disconnect(conn);
    ::kill(service.pid(), SIGTERM);
    EXPECT_NE(service.waitExit(), -1);
    EXPECT_TRUE(waitFor([&] { return accessibilitySwitch() == "false"; }));
    // The opt-out: the switch stays as the user left it.
    startConnected(0, shell.sessionEnv({"KX_SERVICES_LEAVE_ACCESSIBILITY=1"}));
    EXPECT_TRUE(service.waitOut("Accessibility switch left as it is (KX_SERVICES_LEAVE_ACCESSIBILITY set)."));
    EXPECT_EQ(accessibilitySwitch(), "false");
}

} // namespace
