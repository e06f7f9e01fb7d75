// Native Wayland applications are invisible to the X server; those with accessibility announce on
// the accessibility bus when one of their windows becomes active.
#include "platform_common.h"
#include "platform_wayland.h"
#include "tools_report_app_change.h"

#include <cstring>
#include <set>
#include <string>

#include <atspi/atspi.h>
#include <gio/gio.h>
#include <sys/time.h>

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

namespace {

// ---- following the accessibility bus across its restarts ----
//
// libatspi keeps one connection to the accessibility bus, and a table of the applications it has met,
// keyed by their unique names on that bus, which nothing empties: atspi_exit() only disposes the
// entries. A new bus hands out the same names again (the first application is ":1.2" on either), so
// after atspi_exit() and atspi_init() the events of a new application land on the entry of an
// application of the old bus: without a connection, every call on it fails and its events are lost.
// Such entries are set up again here on the new connection, as the library sets up a new one (the
// fields are those of its public header). The registry's entry is one of them: without it the
// listeners would never reach the new registry.

const char A11Y_BUS[] = "org.a11y.Bus";
const char WINDOW_EVENTS[] = "window:activate";
const char ACTIVE_EVENTS[] = "object:state-changed:active";

struct Subscription {
    AtspiEventListener* listener = nullptr;
    bool window = false, active = false;
};

// All touched on the monitor thread only: the name watch reports on its main loop too.
bool g_following = true;                // the listeners are on the running accessibility bus
timeval g_connectedAt{};                // AT-SPI's last reconnection; entries made before it are stale
DBusConnection* g_bus = nullptr;        // the library's connection since then
AtspiApplication* g_registry = nullptr; // one reference per reconnection, see reconnect()
std::set<AtspiApplication*> g_metApps;  // event sources' applications since then, one reference each

void setUpAnew(AtspiApplication* app, DBusConnection* bus) {
    // The library's own disposal first: it closes a direct connection and lets go of the old objects.
    g_object_run_dispose(G_OBJECT(app));
    app->hash = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_object_unref);
    app->bus = dbus_connection_ref(bus);
    app->cache = ATSPI_CACHE_UNDEFINED;
    g_clear_pointer(&app->toolkit_name, g_free);
    g_clear_pointer(&app->toolkit_version, g_free);
    g_clear_pointer(&app->atspi_version, g_free);
    gettimeofday(&app->time_added, nullptr);
}

// The listener's callback. Entries of applications that sent no event to it before the reconnection
// are found stale here, at their first event (the wall clock is what the library stamps them with).
void on_event(AtspiEvent* ev, void* data) {
    AtspiApplication* app = ev && ev->source ? ATSPI_OBJECT(ev->source)->app : nullptr;
    if (app) {
        if (g_bus && timercmp(&app->time_added, &g_connectedAt, <)) setUpAnew(app, g_bus);
        if (g_metApps.insert(app).second) g_object_ref(app);
    }
    on_focus(ev, data);
}

// Registers what can be registered; false when nothing could.
bool subscribe(Subscription& s) {
    GError* error = nullptr;
    s.window = atspi_event_listener_register(s.listener, WINDOW_EVENTS, &error);
    if (!s.window)
        logOut(std::string("Failed to register window:activate listener: ") +
               (error ? printable(error->message) : "Unknown error"));
    g_clear_error(&error);
    s.active = atspi_event_listener_register(s.listener, ACTIVE_EVENTS, &error);
    g_clear_error(&error);
    if (s.window || s.active) return true;
    logOut("No AT-SPI window events could be registered.");
    return false;
}

void unsubscribe(Subscription& s) {
    GError* error = nullptr;
    if (s.active) atspi_event_listener_deregister(s.listener, ACTIVE_EVENTS, &error);
    g_clear_error(&error);
    if (s.window) atspi_event_listener_deregister(s.listener, WINDOW_EVENTS, &error);
    g_clear_error(&error);
    s.active = s.window = false;
}

void reconnect(Subscription& s) {
    atspi_exit();
    gettimeofday(&g_connectedAt, nullptr);
    const int code = atspi_init();
    g_bus = code == 0 ? atspi_get_a11y_bus() : nullptr;
    // Until it connects, any call into the library would end the process (it aborts without a bus).
    if (!g_bus) {
        logErr("[Wayland] The accessibility bus runs again, but AT-SPI cannot connect to it (error code " +
               std::to_string(code) + "); native focus reports stay stopped.");
        return;
    }
    if (g_registry) {
        setUpAnew(g_registry, g_bus);
        // The library re-enters the registry under its unique name without a reference of its own, and
        // drops one when that name was already there: this one keeps the entry alive.
        g_object_ref(g_registry);
    }
    for (AtspiApplication* app : g_metApps) {
        if (app != g_registry) setUpAnew(app, g_bus);
        g_object_unref(app);
    }
    g_metApps.clear();
    // The library keeps its listeners across atspi_exit(); registered again they would be called twice.
    unsubscribe(s);
    if (!subscribe(s)) return;
    g_following = true;
    logOut("[Wayland] The accessibility bus runs again; following native focus changes.");
}

void on_bus_vanished(GDBusConnection*, const gchar*, gpointer) {
    if (!g_following) return;
    g_following = false;
    // A failure, like the lost X display: on standard error, once per loss.
    logErr("[Wayland] Lost the accessibility bus (org.a11y.Bus); native focus reports have stopped until "
           "it runs again.");
}

// Also called once at the start, for the bus the probe connected to.
void on_bus_appeared(GDBusConnection*, const gchar*, const gchar*, gpointer subscription) {
    if (!g_following) reconnect(*static_cast<Subscription*>(subscription));
}

} // namespace

void wayland_monitorFocusNative() {
    logOut("Accessibility detected: Using AT-SPI2 for active window monitoring.");
    // The probe initialised AT-SPI already, which makes this call answer 1.
    if (atspi_init() == 0) {
        logOut("Application changed: No active window detected, full Wayland applications cannot be read "
               "unfortunately.");
        return;
    }
    Subscription subscription;
    subscription.listener = atspi_event_listener_new(on_event, nullptr, nullptr);
    if (!subscription.listener) {
        logOut("Failed to create event listener");
        atspi_exit();
        return;
    }
    if (!subscribe(subscription)) {
        g_object_unref(subscription.listener);
        atspi_exit();
        return;
    }
    // The registry's entry, while it still works (see setUpAnew).
    if (AtspiAccessible* desktop = atspi_get_desktop(0)) {
        g_registry = static_cast<AtspiApplication*>(g_object_ref(ATSPI_OBJECT(desktop)->app));
        g_object_unref(desktop);
    }
    // Watched from this thread's main loop (the default context, which nothing else runs).
    GDBusConnection* session = wayland_sessionBus(nullptr);
    const guint watch =
        session ? g_bus_watch_name_on_connection(session, A11Y_BUS, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                                 on_bus_appeared, on_bus_vanished, &subscription, nullptr)
                : 0;

    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    if (loop)
        g_main_loop_run(loop);
    else
        logOut("Failed to create main loop");

    if (watch) g_bus_unwatch_name(watch);
    if (session) g_object_unref(session);
    unsubscribe(subscription);
    g_object_unref(subscription.listener);
    if (loop) g_main_loop_unref(loop);
    for (AtspiApplication* app : g_metApps)
        g_object_unref(app);
    g_metApps.clear();
    atspi_exit();
}
