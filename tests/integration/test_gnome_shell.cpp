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

// The report of a window of process `pid`: the XWayland monitor names the process by its command name,
// the accessibility monitor by its executable.
json focusReport(pid_t pid, bool xwayland, const std::string& title) {
    return {{"pid", pid}, {"proc", xwayland ? harness::commOf(pid) : harness::exeOf(pid)}, {"title", title}};
}

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
                << " never appeared: " << harness::readWholeFile("/tmp/kx-test/" + kind.title + ".err")
                << "; the shell's log ends: " << shell.logTail();
        }
    }
    json expectedReport(size_t kind) {
        return focusReport(windows[kind]->pid(), KINDS[kind].xwayland, KINDS[kind].title);
    }
    // Makes `kind` the active window and lets the reports of everything before settle: new windows are
    // activated as they map, one mapped late can take the focus back, and a loaded machine delivers
    // those reports late.
    void settleOn(size_t kind) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            EXPECT_TRUE(shell.activateWindow(KINDS[kind].title));
            sleepMs(QUIET_MS);
            focusReports(QUIET_MS);
            if (focusedTitle() == KINDS[kind].title) return;
        }
        ADD_FAILURE() << KINDS[kind].title << " does not keep the focus; the shell's: " << shellFocus();
    }
    // The reports of activating `kind`; when none comes, the failure says what the shell had focused.
    std::vector<json> activate(size_t kind) {
        if (!shell.activateWindow(KINDS[kind].title)) {
            ADD_FAILURE() << "the shell did not activate " << KINDS[kind].title;
            return {};
        }
        const std::vector<json> reports = focusReports(SHELL_MS);
        if (reports.empty()) ADD_FAILURE() << "no report for " << KINDS[kind].title << "; " << shellFocus();
        return reports;
    }
    // The title of the shell's focus window; empty when none has the focus.
    std::string focusedTitle() {
        std::string title;
        shell.eval("global.display.focus_window ? global.display.focus_window.get_title() : ''", &title);
        const json parsed = json::parse(title, nullptr, false);
        return parsed.is_string() ? parsed.get<std::string>() : std::string();
    }
    // The shell's focus window and, for every window, its title, minimized, showing and focused.
    std::string shellFocus() {
        std::string focus;
        shell.eval(
            "(() => { const w = global.display.focus_window; return w ? w.get_title() + ' pid ' + "
            "w.get_pid() : 'none'; })() + ' / ' + JSON.stringify(global.display.list_all_windows()"
            ".map(w => [w.get_title(), w.minimized, w.showing_on_its_workspace(), w.appears_focused]))",
            &focus);
        return focus;
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

// One application as a user starts it: its windows are those the shell lists once its commands ran.
struct App {
    std::string name;
    std::string runsOn;                             // for the table the run prints
    std::vector<std::vector<std::string>> commands; // each opens one more window, in turn
    std::vector<std::string> env;
    bool xwayland = false; // reported by the XWayland monitor, by command name
    size_t windows = 0;    // when the last command opens more than one
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

// A LibreOffice profile that shows no tip of the day, which would be one more window.
std::string libreOfficeProfile(const std::string& dir) {
    makeDir(dir, 0700);
    makeDir(dir + "/user", 0700);
    writeFile(dir + "/user/registrymodifications.xcu", R"(<?xml version="1.0" encoding="UTF-8"?>
<oor:items xmlns:oor="http://openoffice.org/2001/registry" xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
<item oor:path="/org.openoffice.Office.Common/Misc"><prop oor:name="ShowTipOfTheDay" oor:op="fuse"><value>false</value></prop></item>
<item oor:path="/org.openoffice.Office.Common/Misc"><prop oor:name="FirstRun" oor:op="fuse"><value>false</value></prop></item>
</oor:items>
)");
    return "file://" + dir;
}

// A Swing program, the controller's own toolkit, with a frame for each title it is given.
std::string swingSource(const std::string& path) {
    writeFile(path, R"(import javax.swing.*;
public class Frames {
    public static void main(String[] titles) {
        SwingUtilities.invokeLater(() -> {
            for (int i = 0; i < titles.length; ++i) {
                JFrame frame = new JFrame(titles[i]);
                frame.add(new JTextArea(titles[i]));
                frame.setBounds(100 + 300 * i, 100, 280, 200);
                frame.setVisible(true);
            }
        });
    }
}
)");
    return path;
}

class GnomeShellApps : public GnomeShellTest {
  protected:
    struct Window {
        long id = 0;
        pid_t pid = 0;
        std::string title;
    };
    // Every window the shell lists.
    std::vector<Window> shellWindows() {
        std::string found;
        shell.eval("JSON.stringify(global.display.list_all_windows().map(w => [w.get_id(), w.get_pid(), "
                   "w.get_title() || '']))",
                   &found);
        const json list = json::parse(json::parse(found, nullptr, false).get<std::string>(), nullptr, false);
        std::vector<Window> windows;
        for (const json& w : list.is_array() ? list : json::array())
            windows.push_back({w[0].get<long>(), w[1].get<pid_t>(), w[2].get<std::string>()});
        return windows;
    }
    // Runs the application's commands one after the other, each once the windows so far are up, and
    // returns its windows: those the shell did not list before, titled.
    std::vector<Window> startApp(std::vector<std::unique_ptr<harness::Process>>& processes, const App& app) {
        std::vector<long> before;
        for (const Window& w : shellWindows())
            before.push_back(w.id);
        std::vector<Window> added;
        for (size_t i = 0; i < app.commands.size(); ++i) {
            const size_t count = i + 1 == app.commands.size() ? std::max(app.windows, i + 1) : i + 1;
            harness::SpawnOptions options;
            options.env = shell.sessionEnv(app.env);
            options.errPath = "/tmp/kx-test/" + app.name + ".err";
            processes.push_back(std::make_unique<harness::Process>());
            std::string error;
            EXPECT_TRUE(processes.back()->start(app.commands[i], options, &error)) << error;
            EXPECT_TRUE(waitFor(
                [&] {
                    added.clear();
                    for (const Window& w : shellWindows())
                        if (std::find(before.begin(), before.end(), w.id) == before.end()) added.push_back(w);
                    return added.size() == count &&
                           std::none_of(added.begin(), added.end(),
                                        [](const Window& w) { return w.title.empty(); });
                },
                SHELL_MS))
                << app.name << " window " << i << ": " << added.size() << " new windows; "
                << harness::readWholeFile(options.errPath);
        }
        return added;
    }
    bool activateById(long id) {
        std::string done;
        return shell.eval("(() => { const w = global.display.list_all_windows().find(w => w.get_id() == " +
                              std::to_string(id) +
                              "); if (!w) return false; Main.activateWindow(w); return true; })()",
                          &done) &&
               done == "true";
    }
    std::string accessibilitySwitch() {
        const harness::RunResult r =
            harness::run({"gdbus", "call", "--session", "-d", "org.a11y.Bus", "-o", "/org/a11y/bus", "-m",
                          "org.freedesktop.DBus.Properties.Get", "org.a11y.Status", "IsEnabled"},
                         shell.sessionEnv());
        return r.out == "(<true>,)\n" ? "true" : r.out == "(<false>,)\n" ? "false" : r.out + r.err;
    }
};

bool installed(const std::string& program) {
    return harness::run({"sh", "-c", "command -v " + program}, {}).ok();
}

// The applications people run, started after the service (which turns the accessibility switch on):
// each window of each is activated three times, each time followed by a GTK 3 window or an xterm in
// turn, and each activation must be reported once with the window's pid, its process (the executable
// for native windows, the command name for XWayland ones) and its title. The window active as the service
// starts is reported once; the switch is back off once the service has ended, and the opt-out leaves it
// alone. A table of what each application got closes the run.
TEST_F(GnomeShellApps, EachActivationOfTheApplicationsPeopleRunIsReported) {
    mkdir("/tmp/kx-test", 0755); // the service's start makes it too, but its windows come first here
    ASSERT_NO_FATAL_FAILURE(openWindows());
    settleOn(GTK3_WAYLAND);
    ASSERT_EQ(accessibilitySwitch(), "false");
    // A window mapped late may have taken the focus since: the shell says which has it.
    const std::string focused = focusedTitle();
    const auto kind =
        std::find_if(KINDS.begin(), KINDS.end(), [&](const WindowKind& k) { return k.title == focused; });
    ASSERT_NE(kind, KINDS.end()) << focused;
    startService();
    EXPECT_EQ(focusReports(SHELL_MS), std::vector<json>{expectedReport(size_t(kind - KINDS.begin()))});
    EXPECT_EQ(accessibilitySwitch(), "true");

    const std::string profile = firefoxProfile("/tmp/firefox-profile");
    for (const char* name : {"one", "two"}) {
        writeFile(std::string("/tmp/") + name + ".txt", std::string(name) + "\n");
        writeFile(std::string("/tmp/page-") + name + ".html",
                  std::string("<title>Page ") + name + "</title>");
    }
    const std::vector<std::string> chromium = {"chromium",
                                               "--no-sandbox",
                                               "--user-data-dir=/tmp/chromium-profile",
                                               "--no-first-run",
                                               "--no-default-browser-check",
                                               "--password-store=basic",
                                               "--disable-gpu"};
    const auto with = [](std::vector<std::string> command, std::initializer_list<std::string> more) {
        command.insert(command.end(), more);
        return command;
    };
    const std::string office = "-env:UserInstallation=" + libreOfficeProfile("/tmp/libreoffice-profile");
    const std::string swing = swingSource("/tmp/Frames.java");
    const std::vector<App> apps = {
        {"gnome-text-editor",
         "Wayland (GTK 4)",
         {{"gnome-text-editor", "--ignore-session", "/tmp/one.txt"},
          {"gnome-text-editor", "--new-window", "/tmp/two.txt"}},
         {}},
        {"qterminal", "Wayland (Qt 5)", {{"qterminal"}}, {"QT_QPA_PLATFORM=wayland"}},
        {"firefox-esr",
         "Wayland",
         {{"firefox-esr", "--profile", profile, "file:///tmp/page-one.html"},
          {"firefox-esr", "--profile", profile, "--new-window", "file:///tmp/page-two.html"}},
         {"MOZ_ENABLE_WAYLAND=1"}},
        {"chromium",
         "Wayland",
         {with(chromium, {"--ozone-platform=wayland", "file:///tmp/page-one.html"}),
          with(chromium, {"--ozone-platform=wayland", "--new-window", "file:///tmp/page-two.html"})},
         {}},
        {"libreoffice",
         "Wayland (GTK 3)",
         {{"libreoffice", office, "--norestore", "--nologo", "--writer", "/tmp/one.txt"},
          {"libreoffice", office, "--norestore", "--nologo", "--writer", "/tmp/two.txt"}},
         {"SAL_USE_VCLPLUGIN=gtk3"}},
        {"java", "XWayland (Swing)", {{"java", swing, "Swing One", "Swing Two"}}, {}, true, 2},
    };
    // KX_TEST_APPS: the names of the applications to run, separated by spaces; all when unset.
    const char* only = getenv("KX_TEST_APPS");
    std::string table = "| application | runs on | reported, of activations | titles reported |\n";
    for (const App& app : apps) {
        if (only && *only && (" " + std::string(only) + " ").find(" " + app.name + " ") == std::string::npos)
            continue;
        if (!installed(app.commands[0][0])) {
            ADD_FAILURE() << app.name << " is not installed";
            continue;
        }
        std::vector<std::unique_ptr<harness::Process>> processes;
        const std::vector<Window> windows = startApp(processes, app);
        if (windows.empty()) continue;
        // Titles change as documents load: the one expected is the shell's as the report comes.
        const auto expected = [&](const Window& w) {
            std::string title;
            for (const Window& now : shellWindows())
                if (now.id == w.id) title = now.title;
            return focusReport(w.pid, app.xwayland, title);
        };
        // A window is activated as it maps: its reports come first, or they would come amid the others.
        sleepMs(QUIET_MS);
        focusReports(SHELL_MS);
        settleOn(XTERM);
        int activations = 0, reported = 0;
        std::vector<std::string> titles;
        for (int round = 0; round < 3; ++round)
            for (const Window& w : windows) {
                ++activations;
                EXPECT_TRUE(activateById(w.id));
                const std::vector<json> reports = focusReports(SHELL_MS), want = {expected(w)};
                reported += reports == want;
                for (const json& r : reports)
                    if (std::find(titles.begin(), titles.end(), r.value("title", "")) == titles.end())
                        titles.push_back(r.value("title", ""));
                EXPECT_EQ(reports, want)
                    << app.name << " " << w.title << "; the shell's focus: " << shellFocus();
                // In between, a native window and an X one in turn: a miss would also lose the switch back.
                const size_t between = activations % 2 ? GTK3_WAYLAND : XTERM;
                EXPECT_EQ(activate(between), std::vector<json>{expectedReport(between)}) << app.name;
            }
        std::string shown;
        for (const std::string& t : titles)
            shown += (shown.empty() ? "" : ", ") + t;
        table += "| " + app.name + " | " + app.runsOn + " | " + std::to_string(reported) + " of " +
                 std::to_string(activations) + " | " + shown + " |\n";
        // A window's process may be a child of the one started (LibreOffice's is): it ends with it.
        for (const Window& w : windows)
            if (std::none_of(processes.begin(), processes.end(), [&](auto& p) { return p->pid() == w.pid; }))
                ::kill(w.pid, SIGTERM);
    }
    std::printf("%s", table.c_str());
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
