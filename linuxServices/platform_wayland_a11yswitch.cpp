// The desktop's accessibility switch (the accessibility bus's IsEnabled, which its launcher keeps as the
// toolkit-accessibility setting). Browsers and Qt applications put their windows on the accessibility
// bus only while it is on, so the service turns it on and turns it off again once it has ended.
//
// Turning it back off is a keeper process's work, not the service's: it waits for the end of a pipe the
// service holds, so it follows the service's end by any route (its normal end, SIGTERM, SIGINT, the
// SIGPIPE of a vanished controller, a crash, SIGKILL) with no work in a signal handler. A mark in the
// user's state folder says the switch is on by the service's doing; should the keeper itself be killed
// too, the next start finds the mark and restores the switch at its own end.
//
// Only the instance that holds the pipes gets this far, so a second instance never touches the switch.
#include "platform_common.h"
#include "platform_wayland.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The property's value, or an error text in `error`.
bool readSwitch(GDBusConnection* bus, bool& on, std::string& error) {
    GError* e = nullptr;
    GVariant* reply =
        g_dbus_connection_call_sync(bus, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties",
                                    "Get", g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"),
                                    G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &e);
    if (!reply) {
        error = e ? printable(e->message) : "no answer";
        g_clear_error(&e);
        return false;
    }
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    const bool isBool = g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN);
    if (isBool) on = g_variant_get_boolean(value);
    g_variant_unref(value);
    g_variant_unref(reply);
    if (!isBool) error = "IsEnabled is not a boolean";
    return isBool;
}

bool writeSwitch(GDBusConnection* bus, bool on, std::string& error) {
    GError* e = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
        g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(on)), nullptr,
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &e);
    if (!reply) {
        error = e ? printable(e->message) : "no answer";
        g_clear_error(&e);
        return false;
    }
    g_variant_unref(reply);
    return true;
}

// $XDG_STATE_HOME/kx-services/accessibility-switched-on, or under ~/.local/state; "" without either.
std::string markPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    std::string dir;
    if (state && *state == '/')
        dir = state;
    else if (home && *home == '/')
        dir = std::string(home) + "/.local/state";
    else
        return "";
    // The folders may be missing; a failure shows when the mark is written.
    for (size_t at = 1; (at = dir.find('/', at)) != std::string::npos; ++at)
        mkdir(dir.substr(0, at).c_str(), 0700);
    mkdir(dir.c_str(), 0700);
    dir += "/kx-services";
    mkdir(dir.c_str(), 0700);
    return dir + "/accessibility-switched-on";
}

// The keeper, its standard input the read end of a pipe whose write end only the service holds.
bool startKeeper() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    const bool started = wayland_spawnHelper(SWITCH_KEEPER_ARG, fds[0], 0) > 0;
    close(fds[0]);
    // The write end stays open, unread and unwritten, for the life of the service.
    if (!started) close(fds[1]);
    return started;
}

} // namespace

void wayland_manageAccessibilitySwitch() {
    const char* leave = std::getenv(LEAVE_SWITCH_ENV);
    if (leave && *leave && std::string(leave) != "0") {
        logOut(std::string("Accessibility switch left as it is (") + LEAVE_SWITCH_ENV + " set).");
        return;
    }
    GDBusConnection* bus = wayland_sessionBus(nullptr);
    if (!bus) return;
    const std::string mark = markPath();
    bool on = false;
    std::string error;
    bool ok = readSwitch(bus, on, error);
    // On, and marked: a service before this one turned it on, and neither it nor its keeper lived to turn
    // it off. It is this one's to restore.
    const bool inherited = ok && on && !mark.empty() && access(mark.c_str(), F_OK) == 0;
    if (ok && !on) ok = writeSwitch(bus, true, error);
    g_object_unref(bus);
    if (!ok) {
        logOut("Could not turn the accessibility switch on (" + error +
               "); browsers and Qt applications may not report their windows.");
        return;
    }
    if (on && !inherited) return;
    if (!on && !mark.empty()) close(open(mark.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    if (!startKeeper())
        logErr("[Wayland] The accessibility switch's keeper cannot be started; it stays on when the service "
               "ends.");
    if (inherited) {
        logOut("The accessibility switch is still on from a service that ended without turning it off; it is "
               "turned off when this one ends.");
        return;
    }
    logOut(
        "Turned the accessibility switch on (org.a11y.Status IsEnabled, the desktop's toolkit-accessibility "
        "setting): browsers and Qt applications report their windows only with it on, and those started "
        "before now must be restarted to be reported. It is turned off again when the service ends; " +
        std::string(LEAVE_SWITCH_ENV) + "=1 leaves it alone.");
}

int wayland_switchKeeperMain() {
    // Signals meant for the service (a terminal's Ctrl-C reaches its whole group) must not end the
    // keeper before it has done its work.
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
        signal(sig, SIG_IGN);
    for (char byte;;) {
        const ssize_t n = read(0, &byte, 1);
        if (n == 0 || (n < 0 && errno != EINTR)) break;
    }
    std::string error = "no session bus";
    GDBusConnection* bus = wayland_sessionBus(nullptr);
    const bool ok = bus && writeSwitch(bus, false, error);
    if (bus) g_object_unref(bus);
    if (!ok) {
        logErr("[Wayland] Could not turn the accessibility switch off again: " + error);
        return 1;
    }
    const std::string mark = markPath();
    if (!mark.empty()) unlink(mark.c_str());
    logOut("Turned the accessibility switch off again, as the service found it.");
    return 0;
}
