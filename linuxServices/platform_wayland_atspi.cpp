// Native Wayland applications are invisible to the X server; those with accessibility announce on
// the accessibility bus when one of their windows becomes active.
#include "platform_common.h"
#include "platform_wayland.h"
#include "tools_report_app_change.h"

#include <cstring>
#include <string>

#include <atspi/atspi.h>

namespace {

using Clock = std::chrono::steady_clock;

// Touched only by the monitor thread, whose main loop dispatches every event.
FocusTimes last_focused;

// Deeper than any real window tree: an application whose parents lead in a circle would otherwise hold
// the monitor thread, and every later report, for as long as it runs.
const int MAX_LEVELS = 256;

bool isWindowLike(AtspiRole role) {
    return role == ATSPI_ROLE_FRAME || role == ATSPI_ROLE_WINDOW || role == ATSPI_ROLE_DIALOG ||
           role == ATSPI_ROLE_APPLICATION;
}

// A new reference to the first object at or above `node` that is window-like (`toApplication` false)
// or the application, the last one below the desktop (`toApplication` true); null when the chain breaks,
// loops or is deeper than MAX_LEVELS.
AtspiAccessible* climb(AtspiAccessible* node, bool toApplication) {
    if (!node) return nullptr;
    AtspiAccessible* current = static_cast<AtspiAccessible*>(g_object_ref(node));
    for (int level = 0; level < MAX_LEVELS; ++level) {
        GError* error = nullptr;
        if (!toApplication) {
            const AtspiRole role = atspi_accessible_get_role(current, &error);
            if (error) {
                g_clear_error(&error);
                break;
            }
            if (isWindowLike(role)) return current;
        }
        AtspiAccessible* parent = atspi_accessible_get_parent(current, &error);
        const bool failed = error != nullptr;
        g_clear_error(&error);
        const bool top =
            !parent || parent == current ||
            (toApplication && atspi_accessible_get_role(parent, nullptr) == ATSPI_ROLE_DESKTOP_FRAME);
        if (failed || top) {
            if (parent) g_object_unref(parent);
            if (toApplication && top && !failed) return current;
            break;
        }
        g_object_unref(current);
        current = parent;
    }
    g_object_unref(current);
    return nullptr;
}

std::string takeText(gchar* text) {
    std::string out = text ? text : "";
    g_free(text);
    return out;
}

// The executable of `pid`, else its command name, else the application's accessible name.
std::string processPath(int pid, const std::string& appName) {
    std::string path = procExe(pid);
    if (path.empty()) path = procComm(pid);
    return path.empty() ? appName : path;
}

bool isActive(AtspiAccessible* toplevel) {
    AtspiStateSet* states = atspi_accessible_get_state_set(toplevel);
    if (!states) return false;
    const bool active = atspi_state_set_contains(states, ATSPI_STATE_ACTIVE);
    g_object_unref(states);
    return active;
}

// The library hands each listener a copy of the event of its own (transfer full): it is freed here, on
// every path, or every activation of the session would leak it, with references that keep the
// accessible objects of long-closed windows alive.
struct EventCopy {
    AtspiEvent* ev;
    ~EventCopy() {
        if (ev) g_boxed_free(ATSPI_TYPE_EVENT, ev);
    }
};

void on_focus(AtspiEvent* ev, void*) {
    const EventCopy owned{ev};
    // Cheap filters first: most events are not activations.
    if (!ev || !ev->type || !ev->source) return;
    if (std::strcmp(ev->type, "object:state-changed:active") != 0 || ev->detail1 != 1) return;
    AtspiAccessible* toplevel = climb(ev->source, false);
    if (!toplevel) return;
    const Clock::time_point now = Clock::now();

    // Failed reads leave their defaults: an empty title, the top-level's own process.
    GError* error = nullptr;
    const std::string title = takeText(atspi_accessible_get_name(toplevel, &error));
    g_clear_error(&error);
    // Every object of an application shares its bus connection, which names the process.
    const int pid = int(atspi_accessible_get_process_id(toplevel, &error));
    g_clear_error(&error);
    std::string appName;
    if (AtspiAccessible* app = climb(toplevel, true)) {
        appName = takeText(atspi_accessible_get_name(app, &error));
        g_clear_error(&error);
        g_object_unref(app);
    }

    std::string path;
    bool report = false;
    if (pid > 0) {
        path = processPath(pid, appName);
        // The frames mutter draws around X11 windows are accessible too; they are not applications.
        // An X11 application's accessible window is also an XWayland window: the XWayland monitor
        // reports it, with its own process text, and one activation makes one report.
        report = path.find("mutter-x11-frames") == std::string::npos && isActive(toplevel) &&
                 !wayland_isXWaylandClient(pid) &&
                 admitFocusReport(last_focused, std::to_string(pid) + ":" + title, now);
    }
    g_object_unref(toplevel);
    if (report) reportApplicationChange(pid, path, title, false);
}

} // namespace

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

void wayland_monitorFocusNative() {
    logOut("Accessibility detected: Using AT-SPI2 for active window monitoring.");
    // The probe initialised AT-SPI already, which makes this call answer 1.
    if (atspi_init() == 0) {
        logOut("Application changed: No active window detected, full Wayland applications cannot be read "
               "unfortunately.");
        return;
    }
    AtspiEventListener* listener = atspi_event_listener_new(on_focus, nullptr, nullptr);
    if (!listener) {
        logOut("Failed to create event listener");
        atspi_exit();
        return;
    }
    GError* error = nullptr;
    const bool windowRegistered = atspi_event_listener_register(listener, "window:activate", &error);
    if (!windowRegistered)
        logOut(std::string("Failed to register window:activate listener: ") +
               (error ? printable(error->message) : "Unknown error"));
    g_clear_error(&error);
    const bool activeRegistered =
        atspi_event_listener_register(listener, "object:state-changed:active", &error);
    g_clear_error(&error);
    if (!windowRegistered && !activeRegistered) {
        logOut("No AT-SPI window events could be registered.");
        g_object_unref(listener);
        atspi_exit();
        return;
    }

    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    if (loop)
        g_main_loop_run(loop);
    else
        logOut("Failed to create main loop");

    if (activeRegistered) {
        atspi_event_listener_deregister(listener, "object:state-changed:active", &error);
        g_clear_error(&error);
    }
    if (windowRegistered) {
        atspi_event_listener_deregister(listener, "window:activate", &error);
        g_clear_error(&error);
    }
    g_object_unref(listener);
    if (loop) g_main_loop_unref(loop);
    atspi_exit();
}
