// The accessibility monitor process. Native Wayland applications are invisible to the X server; those
// with accessibility announce on the accessibility bus when one of their windows becomes active. This
// process listens to one accessibility bus for as long as it lasts, and tells the service (see
// platform_wayland.h) which top-level window became active; the service decides what is reported.
#include "platform_common.h"
#include "platform_wayland.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include <atspi/atspi.h>
#include <gio/gio.h>
#include <glib-unix.h>

namespace {

FILE* g_records = nullptr;
// The last window told, so that a look at the desktop tells only what the events missed.
nlohmann::json g_lastWindow;

// Deeper than any real window tree: an application whose parents lead in a circle would otherwise hold
// the monitor, and every later report, for as long as it runs.
const int MAX_LEVELS = 256;

const int CALL_TIMEOUT_MS = 5000, APP_STARTUP_MS = 15000;

const char WINDOW_EVENTS[] = "window:activate";
const char ACTIVE_EVENTS[] = "object:state-changed:active";

void send(const nlohmann::json& record) {
    writeWholeLine(g_records, record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

AtspiRole roleOf(AtspiAccessible* node) {
    GError* error = nullptr;
    const AtspiRole role = atspi_accessible_get_role(node, &error);
    const bool failed = error != nullptr;
    g_clear_error(&error);
    return failed ? ATSPI_ROLE_INVALID : role;
}

// Menus and tooltips, which some toolkits show in top-level windows of their own that become active
// (a GTK 3 popup menu is an untitled "window" holding a "menu").
bool isPopup(AtspiRole role) {
    return role == ATSPI_ROLE_MENU || role == ATSPI_ROLE_POPUP_MENU || role == ATSPI_ROLE_TOOL_TIP ||
           role == ATSPI_ROLE_MENU_ITEM;
}

// Whether an object that became active is a window the user switched to: one whose parent is the
// application, whatever its role (GTK 4 gives later windows the role "filler", Qt gives a plain widget
// shown as a window "panel"), or a window of any depth (a dialog some toolkits hang below its frame).
// An inner object that becomes active (a widget's own state) is none, and neither is a popup.
bool isTopLevel(AtspiAccessible* node) {
    const AtspiRole role = roleOf(node);
    if (isPopup(role)) return false;
    bool top = role == ATSPI_ROLE_FRAME || role == ATSPI_ROLE_WINDOW || role == ATSPI_ROLE_DIALOG;
    GError* error = nullptr;
    if (!top) {
        AtspiAccessible* parent = atspi_accessible_get_parent(node, &error);
        g_clear_error(&error);
        if (!parent) return false;
        top = parent != node && roleOf(parent) == ATSPI_ROLE_APPLICATION;
        g_object_unref(parent);
        if (!top) return false;
    }
    AtspiAccessible* content = atspi_accessible_get_child_at_index(node, 0, &error);
    g_clear_error(&error);
    if (!content) return true;
    top = !isPopup(roleOf(content));
    g_object_unref(content);
    return top;
}

// A new reference to the application `node` belongs to, the last object below the desktop; null when
// the chain breaks, loops or is deeper than MAX_LEVELS.
AtspiAccessible* applicationOf(AtspiAccessible* node) {
    AtspiAccessible* current = static_cast<AtspiAccessible*>(g_object_ref(node));
    for (int level = 0; level < MAX_LEVELS; ++level) {
        GError* error = nullptr;
        AtspiAccessible* parent = atspi_accessible_get_parent(current, &error);
        const bool failed = error != nullptr;
        g_clear_error(&error);
        const bool top = !parent || parent == current || roleOf(parent) == ATSPI_ROLE_DESKTOP_FRAME;
        if (failed || top) {
            if (parent) g_object_unref(parent);
            if (top && !failed) return current;
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

bool isActive(AtspiAccessible* toplevel) {
    AtspiStateSet* states = atspi_accessible_get_state_set(toplevel);
    if (!states) return false;
    const bool active = atspi_state_set_contains(states, ATSPI_STATE_ACTIVE);
    g_object_unref(states);
    return active;
}

// Tells the service of a top-level window the caller found active. Failed reads leave their defaults:
// an empty title, the top-level's own process. An activation is always told (the user may come back to a window from
// an X11 one, which this process never hears of); a look at the desktop tells only a window other than
// the last one told.
void sendWindow(AtspiAccessible* toplevel, bool activation) {
    GError* error = nullptr;
    const std::string title = takeText(atspi_accessible_get_name(toplevel, &error));
    g_clear_error(&error);
    // Every object of an application shares its bus connection, which names the process.
    const int pid = int(atspi_accessible_get_process_id(toplevel, &error));
    g_clear_error(&error);
    if (pid <= 0) return;
    // The executable, else the command name, else the application's accessible name.
    std::string path = procExe(pid);
    if (path.empty()) path = procComm(pid);
    if (path.empty())
        if (AtspiAccessible* app = applicationOf(toplevel)) {
            path = takeText(atspi_accessible_get_name(app, &error));
            g_clear_error(&error);
            g_object_unref(app);
        }
    nlohmann::json record = {{"pid", pid}, {"proc", path}, {"title", title}};
    if (!activation && record == g_lastWindow) return;
    send(record);
    g_lastWindow = std::move(record);
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

// The window that is active as the monitor starts: the service starts after it was activated, and a
// bus that came back with an application missed its activation. Later looks (`activation` false) tell
// only a window the events missed.
void sendActiveWindow(bool activation) {
    AtspiAccessible* desktop = atspi_get_desktop(0);
    if (!desktop) return;
    const gint apps = atspi_accessible_get_child_count(desktop, nullptr);
    for (gint a = 0; a < apps; ++a) {
        AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, a, nullptr);
        if (!app) continue;
        const gint windows = atspi_accessible_get_child_count(app, nullptr);
        for (gint w = 0; w < windows; ++w)
            if (AtspiAccessible* window = atspi_accessible_get_child_at_index(app, w, nullptr)) {
                // A popup menu's window is active as long as it is open, and is no window switched to.
                if (isActive(window) && isTopLevel(window)) sendWindow(window, activation);
                g_object_unref(window);
            }
        g_object_unref(app);
    }
    g_object_unref(desktop);
}

// Activations the events miss. An application that has just joined the desktop drops the events it
// raises until it has heard which ones are listened to (GTK 4 does), and that is when its first window
// becomes active; one that is still setting up its objects answers for none of them, so the window
// that became active cannot be told from an inner object. So when an application joins, a window loses
// the focus, or an activation cannot be judged, the desktop is looked at a few times while it settles;
// a later cause starts the looks again.
const guint SETTLE_LOOKS_MS[] = {250, 1000, 3000};
guint g_looks[std::size(SETTLE_LOOKS_MS)] = {};

// The monitor's own connection to the accessibility bus, once made.
GDBusConnection* g_joinBus = nullptr;

gboolean lookAtDesktop(gpointer slot) {
    g_looks[GPOINTER_TO_UINT(slot)] = 0;
    // A bus that has gone is not looked at: libatspi would try to connect again, and warn that it
    // cannot, on the service's standard error. The service starts a new monitor for the next bus.
    if (g_joinBus && g_dbus_connection_is_closed(g_joinBus)) return G_SOURCE_REMOVE;
    sendActiveWindow(false);
    return G_SOURCE_REMOVE;
}

void scheduleLooks() {
    for (guint i = 0; i < std::size(SETTLE_LOOKS_MS); ++i) {
        if (g_looks[i]) g_source_remove(g_looks[i]);
        g_looks[i] = g_timeout_add(SETTLE_LOOKS_MS[i], lookAtDesktop, GUINT_TO_POINTER(i));
    }
}

void on_event(AtspiEvent* ev, void*) {
    const EventCopy owned{ev};
    // Cheap filters first: most events are not activations.
    if (!ev || !ev->type || !ev->source) return;
    if (std::strcmp(ev->type, ACTIVE_EVENTS) != 0) return;
    if (ev->detail1 == 1 && isTopLevel(ev->source)) {
        // An activation already undone by the time it is read is not the window now active.
        if (isActive(ev->source)) sendWindow(ev->source, true);
    } else {
        scheduleLooks();
    }
}

// The registry's word that an application joined the desktop (a child added to its root), on a
// connection of the monitor's own: libatspi's connection keeps every accessibility event to itself.
void onJoin(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* params,
            gpointer) {
    const gchar* minor = nullptr;
    if (g_variant_is_of_type(params, G_VARIANT_TYPE_TUPLE) && g_variant_n_children(params) > 0) {
        GVariant* first = g_variant_get_child_value(params, 0);
        if (g_variant_is_of_type(first, G_VARIANT_TYPE_STRING)) minor = g_variant_get_string(first, nullptr);
        if (minor && g_str_has_prefix(minor, "add")) scheduleLooks();
        g_variant_unref(first);
    }
}

// The accessibility bus as libatspi finds it on a Wayland desktop: the variable, else the session's
// org.a11y.Bus. Without it, only the other causes lead to looks.
void watchJoins() {
    gchar* address = g_strdup(g_getenv("AT_SPI_BUS_ADDRESS"));
    if (!address)
        if (GDBusConnection* session = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {
            if (GVariant* reply = g_dbus_connection_call_sync(
                    session, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", nullptr,
                    G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, CALL_TIMEOUT_MS, nullptr, nullptr)) {
                g_variant_get(reply, "(s)", &address);
                g_variant_unref(reply);
            }
            g_object_unref(session);
        }
    if (!address) return;
    // Kept for the life of the process, which ends with its bus.
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        address,
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    g_free(address);
    g_joinBus = bus;
    if (bus)
        g_dbus_connection_signal_subscribe(bus, "org.a11y.atspi.Registry", "org.a11y.atspi.Event.Object",
                                           "ChildrenChanged", "/org/a11y/atspi/accessible/root", nullptr,
                                           G_DBUS_SIGNAL_FLAGS_NONE, onJoin, nullptr, nullptr);
}

// Registers what can be registered; false when nothing could.
bool subscribe(AtspiEventListener* listener) {
    GError* error = nullptr;
    const bool window = atspi_event_listener_register(listener, WINDOW_EVENTS, &error);
    if (!window)
        logOut(std::string("Failed to register window:activate listener: ") +
               (error ? printable(error->message) : "Unknown error"));
    g_clear_error(&error);
    const bool active = atspi_event_listener_register(listener, ACTIVE_EVENTS, &error);
    g_clear_error(&error);
    if (window || active) return true;
    logOut("No AT-SPI window events could be registered.");
    return false;
}

} // namespace

int wayland_atspiMonitorMain() {
    g_records = fdopen(3, "w");
    if (!g_records) return 1;
    // libatspi warns on standard error of a bus it cannot reach (one that went away between handing
    // out its address and the connection); the service's error lines alone belong there, and the
    // service says itself what such a monitor's end means.
    g_log_set_handler(
        "dbind", GLogLevelFlags(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE),
        [](const gchar*, GLogLevelFlags, const gchar* message, gpointer) {
            logOut("[Wayland] AT-SPI: " + printable(message ? message : ""));
        },
        nullptr);
    const int code = atspi_init();
    if (code != 0) {
        send({{"initFailed", code}});
        return 2;
    }
    // libatspi gives up on a call after 800 ms, and an application busy drawing a new window answers
    // later than that on a loaded machine: its activation was then dropped as no window. This process
    // alone waits, and the events that come meanwhile queue on its connection.
    atspi_set_timeout(CALL_TIMEOUT_MS, APP_STARTUP_MS);
    AtspiEventListener* listener = atspi_event_listener_new(on_event, nullptr, nullptr);
    // Failures that write their own line; 0 tells the service so.
    if (!listener) logOut("Failed to create event listener");
    if (!listener || !subscribe(listener)) {
        send({{"initFailed", 0}});
        return 3;
    }
    send({{"ready", true}});
    watchJoins();
    sendActiveWindow(true);
    // Ends when the service ends it, as its bus goes, or once the service has gone, however it went: the
    // records' pipe then has no reader.
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_unix_fd_add(
        3, GIOCondition(G_IO_ERR | G_IO_HUP),
        [](gint, GIOCondition, gpointer loop) {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return gboolean(G_SOURCE_REMOVE);
        },
        loop);
    g_main_loop_run(loop);
    return 0;
}
