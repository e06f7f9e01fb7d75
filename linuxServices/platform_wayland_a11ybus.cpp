// The service's side of the accessibility monitor: it starts the monitor process, starts it again
// whenever the accessibility bus comes back (by whatever route: a restart of its launcher, or D-Bus
// activation by the next application), and turns the monitor's records into focus reports.
#include "platform_common.h"
#include "platform_wayland.h"
#include "tools_report_app_change.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include <gio/gio.h>
#include <glib-unix.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

const char A11Y_BUS[] = "org.a11y.Bus";
// A monitor that ends while its bus still runs is started again after this long, doubled up to the
// longest for each start that never came to listen, so that a broken bus costs little.
constexpr guint FIRST_RETRY_MS = 500;
constexpr guint LONGEST_RETRY_MS = 30000;

} // namespace

// ---- the monitor process ----

int wayland_helperMain(int argc, char** argv) {
    if (argc != 2) return -1;
    if (std::strcmp(argv[1], ATSPI_MONITOR_ARG) == 0) return wayland_atspiMonitorMain();
    if (std::strcmp(argv[1], SWITCH_KEEPER_ARG) == 0) return wayland_switchKeeperMain();
    return -1;
}

int wayland_spawnHelper(const char* mode, int fd, int as) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    // dup2 onto itself clears close-on-exec too.
    posix_spawn_file_actions_adddup2(&actions, fd, as);
    // The service's blocked and handled signals are none of the helper's business.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char name[] = "kx-services";
    std::string modeText = mode;
    char* argv[] = {name, modeText.data(), nullptr};
    pid_t pid = -1;
    // The binary itself, also where its path is hidden (a private /tmp).
    const int failed = posix_spawn(&pid, "/proc/self/exe", &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return failed ? -1 : pid;
}

bool wayland_startAtspiChild(AtspiChild& child) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    const pid_t pid = wayland_spawnHelper(ATSPI_MONITOR_ARG, fds[1], 3);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return false;
    }
    child.pid = pid;
    child.fd = fds[0];
    child.pending.clear();
    return true;
}

void wayland_stopAtspiChild(AtspiChild& child) {
    if (child.fd >= 0) close(child.fd);
    if (child.pid > 0) {
        kill(child.pid, SIGKILL);
        while (waitpid(child.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    child = AtspiChild{};
}

bool wayland_readAtspiChild(AtspiChild& child, int timeoutMs,
                            const std::function<void(const std::string&)>& onLine) {
    if (child.fd < 0) return false;
    pollfd p{child.fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&p, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) return true;
    char buffer[4096];
    ssize_t n;
    do {
        n = read(child.fd, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    child.pending.append(buffer, size_t(n));
    for (size_t end; (end = child.pending.find('\n')) != std::string::npos;) {
        const std::string line = child.pending.substr(0, end);
        child.pending.erase(0, end + 1);
        onLine(line);
    }
    return true;
}

// ---- the supervisor ----

bool admitFocusReport(FocusTimes& times, const std::string& key, std::chrono::steady_clock::time_point now) {
    const auto within = [&](Clock::time_point then) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(now - then).count() < FOCUS_REPEAT_MS;
    };
    const auto found = times.find(key);
    if (found != times.end() && within(found->second)) return false;
    // Entries past the window can suppress nothing any more; dropping them keeps the map as small
    // as the number of reports of the last half second.
    for (auto it = times.begin(); it != times.end();)
        it = within(it->second) ? std::next(it) : times.erase(it);
    times[key] = now;
    return true;
}

namespace {

// Touched only by the supervisor's thread: its main loop runs every callback below.
struct Supervisor {
    AtspiChild child;
    guint childWatch = 0, retry = 0;
    guint retryMs = FIRST_RETRY_MS;
    bool following = true; // the accessibility bus runs
    bool lost = false;     // it went away since the monitor last listened
    FocusTimes lastFocused;
} g_sup;

void startChild();

// A record of the monitor: a window it saw become active, or its first word.
void onRecord(const std::string& line) {
    const json record = json::parse(line, nullptr, false);
    if (!record.is_object()) return;
    if (record.contains("ready")) {
        g_sup.retryMs = FIRST_RETRY_MS;
        if (g_sup.lost) logOut("[Wayland] The accessibility bus runs again; following native focus changes.");
        g_sup.lost = false;
        return;
    }
    const int pid = record.value("pid", 0);
    const std::string path = record.value("proc", std::string());
    const std::string title = record.value("title", std::string());
    if (pid <= 0) return;
    // The frames mutter draws around X11 windows are accessible too; they are not applications. An X11
    // application's accessible window is also an XWayland window: the XWayland monitor reports it, with
    // its own process text, and one activation makes one report.
    if (path.find("mutter-x11-frames") != std::string::npos || wayland_isXWaylandClient(pid)) return;
    if (admitFocusReport(g_sup.lastFocused, std::to_string(pid) + ":" + title, Clock::now()))
        reportApplicationChange(pid, path, title, false);
}

void stopChild() {
    if (g_sup.childWatch) g_source_remove(g_sup.childWatch);
    g_sup.childWatch = 0;
    wayland_stopAtspiChild(g_sup.child);
}

gboolean retryChild(gpointer) {
    g_sup.retry = 0;
    if (g_sup.following && g_sup.child.pid <= 0) startChild();
    return G_SOURCE_REMOVE;
}

gboolean onChildOutput(gint, GIOCondition, gpointer) {
    if (wayland_readAtspiChild(g_sup.child, 0, onRecord)) return G_SOURCE_CONTINUE;
    // It ended: its bus went (the name watch says so), or it failed on a bus that still runs.
    g_sup.childWatch = 0;
    wayland_stopAtspiChild(g_sup.child);
    if (g_sup.following && !g_sup.retry) {
        g_sup.retry = g_timeout_add(g_sup.retryMs, retryChild, nullptr);
        g_sup.retryMs = std::min(g_sup.retryMs * 2, LONGEST_RETRY_MS);
    }
    return G_SOURCE_REMOVE;
}

void watchChild() {
    g_sup.childWatch =
        g_unix_fd_add(g_sup.child.fd, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR), onChildOutput, nullptr);
}

void startChild() {
    if (wayland_startAtspiChild(g_sup.child))
        watchChild();
    else
        logErr(std::string("[Wayland] The accessibility monitor cannot be started: ") + std::strerror(errno));
}

void on_bus_vanished(GDBusConnection*, const gchar*, gpointer) {
    if (!g_sup.following) return;
    g_sup.following = false;
    g_sup.lost = true;
    // Its monitor is of no use any more; the next bus gets a new one.
    stopChild();
    // A failure, like the lost X display: on standard error, once per loss.
    logErr("[Wayland] Lost the accessibility bus (org.a11y.Bus); native focus reports have stopped until "
           "it runs again.");
}

// Also called once at the start, for the bus the probe found.
void on_bus_appeared(GDBusConnection*, const gchar*, const gchar*, gpointer) {
    if (g_sup.following) return;
    g_sup.following = true;
    g_sup.retryMs = FIRST_RETRY_MS;
    if (g_sup.retry) g_source_remove(g_sup.retry);
    g_sup.retry = 0;
    startChild();
}

} // namespace

void wayland_monitorFocusNative(AtspiChild child, const std::vector<std::string>& early) {
    logOut("Accessibility detected: Using AT-SPI2 for active window monitoring.");
    g_sup.child = child;
    for (const std::string& line : early)
        onRecord(line);
    watchChild();
    // Watched from this thread's main loop (the default context, which nothing else runs).
    GDBusConnection* session = wayland_sessionBus(nullptr);
    if (session)
        g_bus_watch_name_on_connection(session, A11Y_BUS, G_BUS_NAME_WATCHER_FLAGS_NONE, on_bus_appeared,
                                       on_bus_vanished, nullptr, nullptr);
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(loop);
}
