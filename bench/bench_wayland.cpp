// The Wayland backend's observation side against its peers and floors, on a private session bus:
//  - focus: a GTK window becoming active -> the applicationChanged line, through the real accessibility
//    bus, p50/p99 over 200 activations, and the service's CPU time per activation;
//  - list: listCurrentProcesses with 500 processes of the service's user, beside a bare read of the same
//    /proc files by this program (the floor) and `ps -u USER -o pid,comm`;
//  - screenshot through the stand-ins, 256x256 and 1920x1080, beside the stand-in's own time (the
//    floor), for the shell's service and for the portal; for the portal also beside what it costs at
//    least to cut a rectangle from the screen it gives: decode, cut, encode with gdk-pixbuf alone.
//
// Usage (as root, for a private /tmp): bench_wayland [KX_SERVICES_BINARY] [shots] [list] [focus]
// (default: all three)

#include "bench_frame.h"
#include "bench_stats.h"
#include "kx_client.h"
#include "process.h"
#include "script_process.h"
#include "session_bus.h"
#include "x_server.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>

#include <dirent.h>
#include <fcntl.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using bench::Clock;
using bench::cpuSeconds;
using bench::msSince;
using bench::percentile;
using bench::timeMs;
const int TIMEOUT_MS = 20000;
const uid_t USER = 65534; // the service's user in the list benchmark: nobody

// Thrown, so that every server and helper started so far is ended on the way out.
[[noreturn]] void die(const std::string& message) {
    throw std::runtime_error(message);
}

struct Session {
    harness::SessionBus bus;
    std::vector<std::string> env; // of every process of the session
    harness::Process service;
    kx::Connection conn;
    int binaryFd = -1;

    void start() {
        mkdir("/tmp/home", 0700);
        mkdir("/tmp/run", 0700);
        env = {"HOME=/tmp/home", "XDG_RUNTIME_DIR=/tmp/run"};
        std::string error;
        if (!bus.start(error, {env, true})) die(error);
        env.push_back(bus.addressEnv());
        for (const std::string& var : harness::baseEnv())
            if (var.rfind("HOME=", 0) != 0) env.push_back(var);
    }
    void startService(const std::vector<std::string>& extra, uid_t uid = 0) {
        kx::disconnect(conn);
        service.stop();
        harness::run({"rm", "-rf", kx::DEFAULT_PIPE_DIR}, env);
        harness::SpawnOptions options;
        options.env = env;
        options.env.push_back("WAYLAND_DISPLAY=wayland-bench");
        options.env.insert(options.env.end(), extra.begin(), extra.end());
        options.execFd = binaryFd; // its logging goes to /dev/null
        options.uid = uid;
        std::string error;
        if (!service.start({"kx-services"}, options, &error)) die(error);
        if (!kx::connectToService(conn, kx::DEFAULT_PIPE_DIR, TIMEOUT_MS, error)) die(error);
    }
};

void startScript(harness::ScriptProcess& script, const std::string& name,
                 const std::vector<std::string>& args, const std::vector<std::string>& env) {
    std::string error, line;
    if (!script.start(name, args, env, error)) die(error);
    if (!script.waitLine("ready", line)) die(name + " did not come up");
}

void benchFocus(Session& s) {
    harness::XServer x;
    std::string error;
    if (!x.start({}, error)) die(error);
    s.startService({}); // no DISPLAY: the accessibility monitor alone
    harness::ScriptProcess gtk;
    std::vector<std::string> env = s.env;
    env.push_back(x.displayEnv());
    startScript(gtk, "gtk_windows.py", {"--commands"}, env);
    // Enough windows that one comes back only after the 500 ms in which repeats are not reported.
    const int windows = 20;
    std::vector<std::string> xids;
    for (int i = 0; i < windows; ++i) {
        std::string line;
        gtk.send("window w" + std::to_string(i));
        if (!gtk.waitLine("window w" + std::to_string(i) + " ", line)) die("no GTK window");
        xids.push_back(line.substr(line.rfind(' ') + 1));
    }
    nlohmann::json report;
    while (kx::awaitMessage(s.conn, "applicationChanged", report, 1000)) {
    }
    std::vector<Clock::time_point> last{size_t(windows)};
    std::vector<double> ms;
    const int samples = 200;
    const double cpuBefore = cpuSeconds(s.service.pid());
    for (int i = 0; i < samples; ++i) {
        const size_t w = size_t(i % windows);
        const double since = msSince(last[w]);
        if (i >= windows && since < 600) usleep(useconds_t((600 - since) * 1000));
        const std::string title = "w" + std::to_string(w);
        gtk.skipAll();
        x.run({"xdotool", "windowactivate", xids[w]});
        do {
            if (!kx::awaitMessage(s.conn, "applicationChanged", report, TIMEOUT_MS)) die("no focus report");
        } while (report["data"].value("title", "") != title);
        const double arrived = std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
        std::string line;
        if (!gtk.waitLine("active " + title + " ", line)) die("GTK did not see its window active");
        ms.push_back((arrived - std::stod(line.substr(line.rfind(' ') + 1))) * 1000);
        last[w] = Clock::now();
    }
    const double cpu = cpuSeconds(s.service.pid()) - cpuBefore;
    std::printf("\nfocus: GTK window active -> applicationChanged line, %d activations, ms\n", samples);
    std::printf("  p50 %.2f  p99 %.2f  max %.2f\n", percentile(ms, 0.5), percentile(ms, 0.99),
                percentile(ms, 1.0));
    std::printf("  service CPU per activation (events, handler, report): %.2f ms\n", cpu * 1000 / samples);
}

// What the service must read at least: every status file, and exe and comm of the user's processes.
size_t bareProcRead(uid_t user) {
    size_t found = 0;
    DIR* proc = opendir("/proc");
    char buffer[4096];
    while (const dirent* e = readdir(proc)) {
        if (e->d_type != DT_DIR || e->d_name[0] < '1' || e->d_name[0] > '9') continue;
        const std::string dir = std::string("/proc/") + e->d_name;
        const int fd = open((dir + "/status").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        const ssize_t n = read(fd, buffer, sizeof buffer - 1);
        close(fd);
        if (n <= 0) continue;
        buffer[n] = '\0';
        const char* uid = std::strstr(buffer, "\nUid:");
        if (!uid || uid_t(std::strtoul(uid + 5, nullptr, 10)) != user) continue;
        if (readlink((dir + "/exe").c_str(), buffer, sizeof buffer) <= 0) continue;
        const int comm = open((dir + "/comm").c_str(), O_RDONLY | O_CLOEXEC);
        if (comm >= 0) {
            found += read(comm, buffer, sizeof buffer) > 0;
            close(comm);
        }
    }
    closedir(proc);
    return found;
}

size_t countProcesses() {
    size_t n = 0;
    DIR* proc = opendir("/proc");
    while (const dirent* e = readdir(proc))
        n += e->d_name[0] >= '1' && e->d_name[0] <= '9';
    closedir(proc);
    return n;
}

void benchList(Session& s) {
    // 500 processes of one user, each under a name of its own so that none merges with another.
    mkdir("/tmp/bin", 0755);
    std::vector<std::unique_ptr<harness::Process>> sleepers;
    for (int i = 0; i < 500; ++i) {
        const std::string name = "/tmp/bin/sleeper-" + std::to_string(i);
        if (symlink("/bin/sleep", name.c_str()) != 0) die("symlink");
        sleepers.push_back(std::make_unique<harness::Process>());
        harness::SpawnOptions options;
        options.env = harness::baseEnv();
        options.uid = USER;
        if (!sleepers.back()->start({name, "600"}, options)) die("cannot start " + name);
    }
    s.startService({"NO_AT_BRIDGE=1"}, USER);
    nlohmann::json entries;
    const auto request = [&] {
        if (!kx::requestApplicationList(s.conn, entries, TIMEOUT_MS)) die("no list");
    };
    request();
    const int rounds = 50;
    const double service = timeMs(rounds, request);
    size_t bare = 0;
    const double floor = timeMs(rounds, [&] { bare = bareProcRead(USER); });
    const double ps = timeMs(rounds, [&] {
        if (!harness::run({"ps", "-u", std::to_string(USER), "-o", "pid,comm"}, harness::baseEnv()).ok())
            die("ps failed");
    });
    std::printf("\nlist: %zu entries (the bare read: %zu) among %zu processes, median of %d, ms\n",
                entries.size(), bare, countProcesses(), rounds);
    std::printf("  kx-services request->reply   %7.2f   %.2fx the floor\n", service, service / floor);
    std::printf("  floor: bare read of the files %7.2f\n", floor);
    std::printf("  ps -u %u -o pid,comm      %7.2f   kx %.2fx faster\n", unsigned(USER), ps, ps / service);
    for (auto& p : sleepers)
        p->stop(0);
}

// The least the service does with the portal's file: decode it, cut, add alpha, encode as it encodes.
void cutFromScreen(const std::string& path, int w, int h) {
    GdkPixbuf* screen = gdk_pixbuf_new_from_file(path.c_str(), nullptr);
    if (!screen) die("cannot load " + path);
    GdkPixbuf* region = gdk_pixbuf_new_subpixbuf(screen, 0, 0, w, h);
    GdkPixbuf* rgba = gdk_pixbuf_add_alpha(region, FALSE, 0, 0, 0);
    gchar* buffer = nullptr;
    gsize size = 0;
    gdk_pixbuf_save_to_buffer(rgba, &buffer, &size, "png", nullptr, "compression", "1", nullptr);
    g_free(buffer);
    g_object_unref(rgba);
    g_object_unref(region);
    g_object_unref(screen);
}

void benchShots(Session& s) {
    harness::ScriptProcess shell, portal;
    startScript(shell, "desktop_standins.py", {"shell"}, s.env);
    startScript(portal, "desktop_standins.py", {"portal"}, s.env);
    mkdir("/tmp/pictures", 0755); // where the portal saves, as GNOME's saves into the pictures folder
    portal.send("savedir /tmp/pictures");
    mkdir("/tmp/kxtmp", 0700);
    s.startService({"NO_AT_BRIDGE=1", "TMPDIR=/tmp/kxtmp"});
    std::printf("\nscreenshot through the stand-ins, request->reply beside the stand-in's own time, ms\n");
    for (const char* path : {"shell", "portal"}) {
        std::string line;
        shell.send(std::string("mode ") + (path == std::string("shell") ? "ok" : "denied"));
        if (!shell.waitLine("mode ", line)) die("stand-in did not take its mode");
        harness::ScriptProcess& standIn = path == std::string("shell") ? shell : portal;
        for (const auto& size : std::vector<std::pair<int, int>>{{256, 256}, {1920, 1080}}) {
            std::vector<double> service, own;
            std::string base64;
            for (int i = 0; i < 12; ++i) {
                standIn.skipAll();
                const auto start = Clock::now();
                if (!kx::requestRegionScreenshot(s.conn, 0, 0, size.first, size.second, base64, TIMEOUT_MS) ||
                    base64.empty())
                    die(std::string("no screenshot through the ") + path);
                if (!standIn.waitLine("took ", line)) die("stand-in did not report its time");
                if (i < 2) continue; // the stand-in's image cache warms up
                service.push_back(msSince(start));
                own.push_back(std::stod(line.substr(5)) * 1000);
            }
            const double kx = percentile(service, 0.5), floor = percentile(own, 0.5);
            std::printf("  %-6s %4dx%-4d  kx-services %7.2f  stand-in %7.2f  added %7.2f  reply %zu bytes\n",
                        path, size.first, size.second, kx, floor, kx - floor, base64.size());
            if (path == std::string("portal")) {
                // The service removes each screen the portal saved for it; an older one stays, for the floor.
                const std::string screen = "/tmp/pictures/floor.png";
                const auto tell = [&](const std::string& command, const std::string& echo) {
                    if (!portal.send(command) || !portal.waitLine(echo, line))
                        die("stand-in did not take " + command);
                };
                tell("name floor.png", "name floor.png");
                tell("mode stale", "mode stale");
                std::string older;
                if (!kx::requestRegionScreenshot(s.conn, 0, 0, 8, 8, older, TIMEOUT_MS) || older.empty())
                    die("no screenshot of an older screen");
                tell("name ", "name");
                tell("mode ok", "mode ok");
                const double cut = timeMs(10, [&] { cutFromScreen(screen, size.first, size.second); });
                std::printf("  %-16s floor: decode, cut, encode alone %7.2f   kx %.2fx the floor\n", "", cut,
                            kx / cut);
            }
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    return bench::runBenchmark("bench_wayland", argc, argv, [](const bench::Run& run) {
        Session s;
        s.binaryFd = run.binaryFd;
        s.start();
        std::printf("kx-services %s on a private session bus\n", run.binary.c_str());
        if (run.wanted("shots")) benchShots(s);
        if (run.wanted("list")) benchList(s);
        if (run.wanted("focus")) benchFocus(s);
        kx::disconnect(s.conn);
    });
}
