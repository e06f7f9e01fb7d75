// The Wayland backend on the real GNOME Shell, headless with one 1920x1080 monitor, in one run:
//  - focus: Main.activateWindow (through the shell's Eval) -> the applicationChanged line, p50/p99, for
//    native GTK windows (the accessibility monitor) and GTK windows on XWayland (the XWayland monitor),
//    alternating between two windows of each kind; beside it the Eval round trip alone, and the time
//    from the client's own "window active" to the line;
//  - region screenshots 256x256 and 1920x1080, request to reply: through ScreenshotArea in unsafe mode,
//    and through the portal in the default mode (ScreenshotArea refused, the permission stored), beside
//    a bare ScreenshotArea call of the same size (the floor) and a bare full-screen Screenshot call.
//
//  - apps: the same latency for gnome-text-editor (GTK 4), qterminal (Qt) and a Java Swing frame, each
//    window against a GTK 3 one; "browsers" adds Firefox and Chromium.
//
// Usage (as root, for private namespaces): bench_gnome [KX_SERVICES_BINARY] [focus] [shots] [apps]
// [browsers] (default: focus, shots, apps)

#include "bench_frame.h"
#include "bench_stats.h"
#include "gnome_shell.h"
#include "kx_client.h"
#include "process.h"
#include "script_process.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <stdexcept>

#include <fcntl.h>
#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using bench::Clock;
using bench::msSince;
using bench::percentile;
// The shell renders in software: on a loaded machine it can stall for tens of seconds.
const int TIMEOUT_MS = 60000;
const int REPORT_MS = 5000;
const int W = 1920, H = 1080;

// Thrown, so that every component started so far is ended on the way out.
[[noreturn]] void die(const std::string& message) {
    throw std::runtime_error(message);
}

struct Desktop {
    harness::GnomeShell shell;
    harness::Process service;
    kx::Connection conn;
    int binaryFd = -1, todayFd = -1;

    void start() {
        harness::GnomeShellOptions options;
        options.monitor = std::to_string(W) + "x" + std::to_string(H);
        std::string error;
        if (!shell.start(options, error)) die(error);
        mkdir("/tmp/kxtmp", 0700);
        startService(binaryFd);
    }
    // The service of the build `fd` names, in place of any before it.
    void startService(int fd) {
        if (service.pid() > 0) {
            kx::disconnect(conn);
            service.stop();
        }
        std::string error;
        harness::SpawnOptions spawn;
        spawn.env = shell.sessionEnv({"TMPDIR=/tmp/kxtmp"});
        spawn.execFd = fd; // its logging goes to /dev/null
        if (!service.start({"kx-services"}, spawn, &error)) die(error);
        if (!kx::connectToService(conn, kx::DEFAULT_PIPE_DIR, TIMEOUT_MS, error)) die(error);
    }
};

void printFigures(const char* what, const std::vector<double>& ms) {
    std::printf("  %-44s p50 %7.2f  p99 %7.2f  max %7.2f  (%zu)\n", what, percentile(ms, 0.5),
                percentile(ms, 0.99), percentile(ms, 1.0), ms.size());
}

// Two windows of one kind, activated in turn; each comes back only after the 500 ms in which the
// accessibility monitor does not report a window again.
void benchFocusKind(Desktop& d, const char* kind, const std::vector<std::string>& extraEnv) {
    harness::ScriptProcess gtk;
    std::string error, line;
    if (!gtk.start("gtk_windows.py", {"--commands"}, d.shell.sessionEnv(extraEnv), error)) die(error);
    if (!gtk.waitLine("ready", line)) die("the GTK client did not come up");
    const std::vector<std::string> titles = {std::string(kind) + "-a", std::string(kind) + "-b"};
    for (const std::string& title : titles) {
        gtk.send("window " + title);
        if (!gtk.waitLine("window " + title + " ", line)) die("no GTK window " + title);
    }
    nlohmann::json report;
    const auto awaitTitle = [&](const std::string& title) {
        do {
            if (!kx::awaitMessage(d.conn, "applicationChanged", report, REPORT_MS)) return false;
        } while (report["data"].value("title", "") != title);
        return true;
    };
    for (int i = 0; i < 4; ++i) { // the clients' accessibility objects and the X monitor settle
        if (d.shell.activateWindow(titles[size_t(i % 2)])) awaitTitle(titles[size_t(i % 2)]);
        harness::sleepMs(600);
    }
    std::vector<double> total, evalCall, fromClient;
    std::vector<Clock::time_point> last(2);
    int missed = 0;
    const int samples = 100;
    for (int i = 0; i < samples; ++i) {
        const size_t w = size_t(i % 2);
        const double since = msSince(last[w]);
        if (since < 600) harness::sleepMs(int(600 - since));
        while (kx::awaitMessage(d.conn, "applicationChanged", report, 0)) {
        }
        gtk.skipAll();
        const auto start = Clock::now();
        const bool activated = d.shell.activateWindow(titles[w]);
        evalCall.push_back(msSince(start));
        if (!activated || !awaitTitle(titles[w])) {
            ++missed;
            last[w] = Clock::now();
            continue;
        }
        const Clock::time_point arrived = Clock::now();
        total.push_back(std::chrono::duration<double, std::milli>(arrived - start).count());
        if (gtk.waitLine("active " + titles[w] + " ", line, 1000)) {
            const double active = std::stod(line.substr(line.rfind(' ') + 1));
            fromClient.push_back(
                (std::chrono::duration<double>(arrived.time_since_epoch()).count() - active) * 1000);
        }
        last[w] = Clock::now();
    }
    std::printf(
        "%s windows, %d activations, %d not done by the shell or without a report within %d ms, ms:\n", kind,
        samples, missed, REPORT_MS);
    printFigures("Main.activateWindow -> applicationChanged", total);
    printFigures("the Eval call that activates", evalCall);
    if (!fromClient.empty()) printFigures("client sees its window active -> line", fromClient);
}

void benchFocus(Desktop& d) {
    std::printf("\nfocus on GNOME Shell\n");
    std::vector<double> eval;
    for (int i = 0; i < 50; ++i) {
        const auto start = Clock::now();
        if (!d.shell.eval("0")) die("Eval refused");
        eval.push_back(msSince(start));
    }
    printFigures("Eval round trip alone", eval);
    benchFocusKind(d, "native", {"GDK_BACKEND=wayland"});
    benchFocusKind(d, "xwayland", {"GDK_BACKEND=x11"});
}

// The titles of the windows of process `pid`, as the shell lists them.
std::vector<std::string> titlesOf(Desktop& d, pid_t pid) {
    std::string found;
    d.shell.eval("JSON.stringify(global.display.list_all_windows().filter(w => w.get_pid() == " +
                     std::to_string(pid) + ").map(w => w.get_title()))",
                 &found);
    const nlohmann::json text = nlohmann::json::parse(found, nullptr, false);
    const nlohmann::json list =
        text.is_string() ? nlohmann::json::parse(text.get<std::string>(), nullptr, false) : nlohmann::json();
    return list.is_array() ? list.get<std::vector<std::string>>() : std::vector<std::string>{};
}

// One application as a user starts it (each command after the first opens one more window of the
// running instance); its windows and a GTK 3 window activated in turn, the application's measured.
void benchFocusApp(Desktop& d, const std::string& name, const std::vector<std::vector<std::string>>& commands,
                   const std::vector<std::string>& env) {
    harness::ScriptProcess gtk;
    std::string error, line;
    if (!gtk.start("gtk_windows.py", {"--commands"}, d.shell.sessionEnv({"GDK_BACKEND=wayland"}), error))
        die(error);
    if (!gtk.waitLine("ready", line)) die("the GTK client did not come up");
    const std::string other = name + " other";
    gtk.send("window " + other);
    harness::Process app;
    std::vector<std::string> titles;
    for (size_t i = 0; i < commands.size(); ++i) {
        harness::SpawnOptions options;
        options.env = d.shell.sessionEnv(env);
        if (i == 0 && !app.start(commands[i], options, &error)) die(error);
        if (i > 0) {
            harness::Process opener;
            if (opener.start(commands[i], options, &error)) opener.wait(TIMEOUT_MS);
        }
        if (!harness::waitFor(
                [&] {
                    titles = titlesOf(d, app.pid());
                    return titles.size() == i + 1 &&
                           std::none_of(titles.begin(), titles.end(), [](auto& t) { return t.empty(); });
                },
                TIMEOUT_MS))
            die(name + ": window " + std::to_string(i) + " never appeared");
    }
    harness::sleepMs(3000); // titles change as pages and documents load
    titles = titlesOf(d, app.pid());
    nlohmann::json report;
    const auto awaitTitle = [&](const std::string& title) {
        do {
            if (!kx::awaitMessage(d.conn, "applicationChanged", report, REPORT_MS)) return false;
        } while (report["data"].value("title", "") != title);
        return true;
    };
    std::vector<double> total;
    int missed = 0;
    const int samples = 20;
    for (int i = 0; i < samples; ++i) {
        const std::string& title = titles[size_t(i) % titles.size()];
        if (d.shell.activateWindow(other)) awaitTitle(other);
        harness::sleepMs(600); // past the repeat window
        while (kx::awaitMessage(d.conn, "applicationChanged", report, 0)) {
        }
        const auto start = Clock::now();
        if (!d.shell.activateWindow(title) || !awaitTitle(title)) {
            ++missed;
            continue;
        }
        total.push_back(msSince(start));
    }
    std::printf("%s, %d activations, %d not done by the shell or without a report within %d ms, ms:\n",
                name.c_str(), samples, missed, REPORT_MS);
    if (!total.empty()) printFigures("Main.activateWindow -> applicationChanged", total);
}

void benchApps(Desktop& d, bool browsers) {
    std::printf("\nfocus on GNOME Shell, per application (beside the GTK 3 figure of 'focus')\n");
    mkdir("/tmp/kx-bench-apps", 0700);
    benchFocusApp(d, "gnome-text-editor (GTK 4, a --new-window window)",
                  {{"gnome-text-editor", "--ignore-session", "/tmp/kx-bench-apps/one.txt"},
                   {"gnome-text-editor", "--new-window", "/tmp/kx-bench-apps/two.txt"}},
                  {});
    benchFocusApp(d, "qterminal (Qt 5, Wayland)", {{"qterminal"}}, {"QT_QPA_PLATFORM=wayland"});
    std::ofstream("/tmp/kx-bench-apps/Frame.java")
        << "public class Frame { public static void main(String[] a) { "
           "javax.swing.SwingUtilities.invokeLater("
           "() -> { javax.swing.JFrame f = new javax.swing.JFrame(\"Swing\"); f.setSize(300, 200); "
           "f.setVisible(true); }); } }\n";
    benchFocusApp(d, "Java Swing (XWayland)", {{"java", "/tmp/kx-bench-apps/Frame.java"}}, {});
    if (!browsers) return;
    std::ofstream("/tmp/kx-bench-apps/page.html") << "<title>Page</title>\n";
    benchFocusApp(d, "Firefox ESR (Wayland)",
                  {{"firefox-esr", "--profile", "/tmp/kx-bench-apps", "file:///tmp/kx-bench-apps/page.html"}},
                  {"MOZ_ENABLE_WAYLAND=1"});
    benchFocusApp(d, "Chromium (Wayland, started after the service)",
                  {{"chromium", "--no-sandbox", "--user-data-dir=/tmp/kx-bench-apps/chromium",
                    "--no-first-run", "--no-default-browser-check", "--password-store=basic", "--disable-gpu",
                    "--ozone-platform=wayland", "file:///tmp/kx-bench-apps/page.html"}},
                  {});
}

// One call to the shell's screenshot service as any program makes it; the image is left in the file
// that `parameters` names.
void shellCall(GDBusConnection* bus, const char* method, GVariant* parameters) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.gnome.Shell.Screenshot", "/org/gnome/Shell/Screenshot", "org.gnome.Shell.Screenshot",
        method, parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, TIMEOUT_MS, nullptr, &error);
    if (!reply) {
        const std::string text = error->message;
        g_error_free(error);
        die(std::string("the shell refused ") + method + ": " + text);
    }
    g_variant_unref(reply);
}

// One non-interactive request to the desktop portal, as a program outside a sandbox makes it, to the
// answer; the portal's file is removed. Signals reach the default main context, which this thread runs.
void portalCall(GDBusConnection* bus) {
    static int requests = 0;
    const std::string token = "bench" + std::to_string(++requests);
    std::string sender = g_dbus_connection_get_unique_name(bus) + 1;
    std::replace(sender.begin(), sender.end(), '.', '_');
    const std::string handle = "/org/freedesktop/portal/desktop/request/" + sender + "/" + token;
    std::string uri;
    bool answered = false;
    const auto onResponse = [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                               GVariant* parameters, gpointer data) {
        auto* answer = static_cast<std::pair<bool*, std::string*>*>(data);
        guint32 response = 2;
        GVariant* results = nullptr;
        g_variant_get(parameters, "(u@a{sv})", &response, &results);
        const gchar* text = nullptr;
        if (response == 0 && g_variant_lookup(results, "uri", "&s", &text)) *answer->second = text;
        g_variant_unref(results);
        *answer->first = true;
    };
    std::pair<bool*, std::string*> answer{&answered, &uri};
    const guint subscription = g_dbus_connection_signal_subscribe(
        bus, "org.freedesktop.portal.Desktop", "org.freedesktop.portal.Request", "Response", handle.c_str(),
        nullptr, G_DBUS_SIGNAL_FLAGS_NONE, onResponse, &answer, nullptr);
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    g_variant_builder_add(&options, "{sv}", "interactive", g_variant_new_boolean(FALSE));
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
        "org.freedesktop.portal.Screenshot", "Screenshot", g_variant_new("(sa{sv})", "", &options), nullptr,
        G_DBUS_CALL_FLAGS_NONE, TIMEOUT_MS, nullptr, &error);
    if (reply) g_variant_unref(reply);
    const auto deadline = Clock::now() + std::chrono::milliseconds(TIMEOUT_MS);
    while (reply && !answered && Clock::now() < deadline)
        g_main_context_iteration(nullptr, TRUE);
    g_dbus_connection_signal_unsubscribe(bus, subscription);
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    if (!reply) {
        const std::string text = error->message;
        g_error_free(error);
        die("the portal refused: " + text);
    }
    if (uri.rfind("file://", 0) != 0) die("the portal gave no screenshot");
    static bool told = false;
    std::ifstream png(uri.substr(7), std::ios::binary);
    unsigned char header[29] = {};
    if (!told && png.read(reinterpret_cast<char*>(header), sizeof header)) {
        std::printf("  (the portal's PNG: %u bits, colour type %u, interlace %u, %ld bytes)\n", header[24],
                    header[25], header[28],
                    long(std::ifstream(uri.substr(7), std::ios::binary | std::ios::ate).tellg()));
        told = true;
    }
    unlink(uri.substr(7).c_str());
}

// Medians of 10 runs of each of `works`, taken in turn, after 2 rounds for warming up (the portal
// is started on first use): neighbours share the shell's state and the machine's load.
std::vector<double> medianMs(const std::vector<std::function<void()>>& works) {
    std::vector<std::vector<double>> ms(works.size());
    for (int round = 0; round < 12; ++round)
        for (size_t i = 0; i < works.size(); ++i) {
            const auto start = Clock::now();
            works[i]();
            if (round >= 2) ms[i].push_back(msSince(start));
        }
    std::vector<double> medians;
    for (const auto& v : ms)
        medians.push_back(percentile(v, 0.5));
    return medians;
}

void benchShots(Desktop& d) {
    std::string address;
    for (const std::string& var : d.shell.sessionEnv())
        if (var.rfind("DBUS_SESSION_BUS_ADDRESS=", 0) == 0) address = var.substr(25);
    GError* error = nullptr;
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (!bus) die(std::string("session bus: ") + error->message);
    const char* file = "/tmp/bench-shot.png";
    const auto area = [&](int w, int h) {
        return [=] {
            shellCall(bus, "ScreenshotArea", g_variant_new("(iiiibs)", 0, 0, w, h, FALSE, file));
            unlink(file);
        };
    };
    const auto fullScreen = [&] {
        shellCall(bus, "Screenshot", g_variant_new("(bbs)", FALSE, FALSE, file));
        unlink(file);
    };
    const auto service = [&](int w, int h) {
        return [&d, w, h] {
            std::string base64;
            if (!kx::requestRegionScreenshot(d.conn, 0, 0, w, h, base64, TIMEOUT_MS) || base64.empty())
                die("no screenshot from kx-services");
        };
    };
    // Unsafe mode: the service's ScreenshotArea beside the same call made bare.
    const std::vector<double> unsafe =
        medianMs({area(256, 256), service(256, 256), area(W, H), service(W, H), fullScreen});
    // The shell's ordinary rules: ScreenshotArea is refused, the portal asks the shell for the whole
    // screen, and the permission a user grants once is stored.
    if (!d.shell.setUnsafeMode(false) || !d.shell.setPortalPermission("yes")) die("default mode not set up");
    const std::vector<double> portal = medianMs({[&] { portalCall(bus); }, service(256, 256), service(W, H)});
    std::vector<double> today;
    if (d.todayFd >= 0) { // the build the change is measured against, beside its own bare requests
        d.startService(d.todayFd);
        today = medianMs({[&] { portalCall(bus); }, service(256, 256), service(W, H)});
        d.startService(d.binaryFd);
    }
    g_object_unref(bus);

    const double fullShot = unsafe[4], barePortal = portal[0];
    std::printf("\nregion screenshots on GNOME Shell %dx%d, request to reply, median of 10, ms\n", W, H);
    std::printf("  bare full-screen Screenshot call            %8.1f\n", fullShot);
    std::printf("  bare portal request (full screen, to its answer) %8.1f\n", barePortal);
    for (int i = 0; i < 2; ++i) {
        const double floor = unsafe[size_t(2 * i)], direct = unsafe[size_t(2 * i + 1)],
                     viaPortal = portal[size_t(1 + i)];
        const double bound = 1.5 * floor + fullShot;
        std::printf("  %4dx%-4d bare ScreenshotArea call (the floor) %8.1f\n", i ? W : 256, i ? H : 256,
                    floor);
        std::printf("            kx-services, ScreenshotArea (unsafe) %8.1f  %.2fx the floor\n", direct,
                    direct / floor);
        std::printf("            kx-services, portal (default mode)   %8.1f  %.2fx (floor + full-screen "
                    "call), %.2fx the"
                    " bare portal request; goal 1.5x floor + full-screen call = %.1f: %s\n",
                    viaPortal, viaPortal / (floor + fullShot), viaPortal / barePortal, bound,
                    viaPortal <= bound ? "met" : "missed");
        if (!today.empty())
            std::printf(
                "            today's build, portal                %8.1f  %.2fx the bare portal request "
                "beside it (%.1f)\n",
                today[size_t(1 + i)], today[size_t(1 + i)] / today[0], today[0]);
    }
}

} // namespace

int main(int argc, char** argv) {
    return bench::runBenchmark("bench_gnome", argc, argv, [](const bench::Run& run) {
        Desktop d;
        d.binaryFd = run.binaryFd;
        d.todayFd = run.todayFd;
        d.start();
        std::printf("kx-services %s on a headless GNOME Shell\n", run.binary.c_str());
        if (run.wanted("focus")) benchFocus(d);
        // Firefox only when named: minutes in a shell that renders in software.
        const bool browsers = std::count(run.parts.begin(), run.parts.end(), "browsers") > 0;
        if (run.wanted("apps") || browsers) benchApps(d, browsers);
        if (run.wanted("shots")) benchShots(d);
        kx::disconnect(d.conn);
    });
}
