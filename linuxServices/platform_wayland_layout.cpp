// The layout the Wayland keys follow, learnt from the desktop and followed as the user switches: one
// thread with a GLib main loop of its own publishes a compiled layout at start and on every switch, so a
// key command only reads what was published and never waits on the desktop.
//
// Which desktop: sway's IPC socket (SWAYSOCK) is the compositor's own word and wins; then
// XDG_CURRENT_DESKTOP names GNOME or KDE (a KDE session also shows itself by owning org.kde.keyboard);
// otherwise the system's configured layout (locale1, then /etc/default/keyboard).
#include "key_layout.h"
#include "platform_common.h"
#include "platform_wayland.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include <gio/gio.h>
#include <glib-unix.h>
#include <nlohmann/json.hpp>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

namespace {

const char INPUT_SOURCES[] = "org.gnome.desktop.input-sources";
const char KDE_NAME[] = "org.kde.keyboard";
const char KDE_PATH[] = "/Layouts";
const char KDE_INTERFACE[] = "org.kde.KeyboardLayouts";
// The virtual keyboard as sway names it: vendor:product:name, decimal, blanks as '_' (0x1D6B, 0x0104).
const char SWAY_IDENTIFIER[] = "7531:260:kx-services-virtual-kbd";

// What keys follow, logged once per change: "de", "fr(azerty)", "German"... and where it came from.
struct Follower {
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    std::string logged; // the last log line, so a repeated report of the same layout logs nothing
    // Layouts compiled from names, by "layout|variant|options": compiling takes milliseconds, and users
    // switch back and forth among a few.
    std::map<std::string, std::shared_ptr<const ActiveLayout>> compiled;

    // sway
    int swayEvents = -1;
    std::string swayBuffer;
    std::vector<std::string> swayNames; // xkb_layout_names of the virtual keyboard
    int swayIndex = -1;
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_seat* seat = nullptr;
    wl_keyboard* keyboard = nullptr;
    std::shared_ptr<xkb_keymap> compositorKeymap;

    // GNOME, KDE, locale1
    GSettings* settings = nullptr;
    GDBusConnection* bus = nullptr;
    guint subscription = 0;
    guint nameWatch = 0;
    guint mismatchTimer = 0;
};

std::mutex g_threadMutex;
std::thread g_thread;
Follower* g_follower = nullptr; // the running follower's, for stop; guarded by g_threadMutex

void announce(Follower& f, std::shared_ptr<const ActiveLayout> layout, const std::string& name,
              const std::string& source) {
    const std::string line =
        layout ? "[Layout] Keys follow the keyboard layout " + printable(name) + " (" + source + ")"
               : "[Layout] The keyboard layout " + printable(name) + " (" + source +
                     ") cannot be compiled: keys keep US key positions";
    publishActiveLayout(std::move(layout));
    if (line == f.logged) return;
    f.logged = line;
    logOut(line);
}

void announceNone(Follower& f, const std::string& why) {
    publishActiveLayout(nullptr);
    const std::string line = "[Layout] " + why + ": keys keep US key positions";
    if (line == f.logged) return;
    f.logged = line;
    logOut(line);
}

// "fr+azerty" (GNOME's form) or a layout and a variant -> "fr(azerty)", the form the log shows.
std::string displayName(const std::string& layout, const std::string& variant) {
    return variant.empty() ? layout : layout + "(" + variant + ")";
}

void publishNames(Follower& f, const std::string& layout, const std::string& variant,
                  const std::string& options, const std::string& source) {
    const std::string name = displayName(layout, variant);
    auto& layoutFor = f.compiled[layout + "|" + variant + "|" + options];
    if (!layoutFor) layoutFor = compileLayout(layout, variant, options, 0, name);
    announce(f, layoutFor, name, source);
}

std::vector<std::string> splitList(const std::string& text, char by = ',') {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, by);)
        parts.push_back(part);
    if (!text.empty() && text.back() == by) parts.emplace_back();
    return parts;
}

std::string at(const std::vector<std::string>& list, size_t i) {
    return i < list.size() ? list[i] : "";
}

// ---- sway -------------------------------------------------------------------------------------------
//
// sway's IPC names the layouts only by their descriptions ("German"), which do not lead back to a
// layout and variant for certain (they are free text of the symbols files), and it reports no options
// (a swapped Ctrl or Caps Lock moves keys too). The
// keymap sway hands every Wayland client on wl_keyboard.keymap is the seat's compiled keymap itself,
// with each configured layout as a group: it is taken from there, and the IPC gives which group is
// active. Its groups' names are checked against the virtual keyboard's, in case the seat's keymap is
// another keyboard's configured differently.

const uint32_t IPC_SUBSCRIBE = 2, IPC_GET_INPUTS = 100;
const char IPC_MAGIC[] = "i3-ipc";
const size_t IPC_HEADER = 14;

int swayConnect() {
    const char* path = std::getenv("SWAYSOCK");
    if (!path || !*path || std::strlen(path) >= sizeof(sockaddr_un::sun_path)) return -1;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path);
    // A compositor that stops answering must not hold the thread: replies come within milliseconds.
    const timeval limit{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool swaySend(int fd, uint32_t type, const std::string& payload) {
    std::string message(IPC_MAGIC, 6);
    const uint32_t header[2] = {uint32_t(payload.size()), type};
    message.append(reinterpret_cast<const char*>(header), sizeof header);
    message += payload;
    return send(fd, message.data(), message.size(), MSG_NOSIGNAL) == ssize_t(message.size());
}

// Takes one whole message off the front of `buffer`; false while it is incomplete.
bool swayTake(std::string& buffer, uint32_t& type, std::string& payload) {
    if (buffer.size() < IPC_HEADER) return false;
    uint32_t header[2];
    std::memcpy(header, buffer.data() + 6, sizeof header);
    if (buffer.size() < IPC_HEADER + header[0]) return false;
    type = header[1];
    payload = buffer.substr(IPC_HEADER, header[0]);
    buffer.erase(0, IPC_HEADER + header[0]);
    return true;
}

gboolean swayMismatch(gpointer data);

void swayPublish(Follower& f) {
    if (f.swayIndex < 0) return; // the virtual keyboard is not listed yet: its "added" event follows
    const std::string name = at(f.swayNames, size_t(f.swayIndex));
    xkb_keymap* keymap = f.compositorKeymap.get();
    bool same = keymap && xkb_keymap_num_layouts(keymap) == f.swayNames.size() &&
                size_t(f.swayIndex) < f.swayNames.size();
    for (size_t i = 0; same && i < f.swayNames.size(); ++i) {
        const char* group = xkb_keymap_layout_get_name(keymap, xkb_layout_index_t(i));
        same = group && f.swayNames[i] == group;
    }
    if (same) {
        announce(f, makeActiveLayout(f.compositorKeymap, uint32_t(f.swayIndex), name), name, "sway");
        return;
    }
    // A reconfigured keymap reaches the IPC and the Wayland connection in either order: only a mismatch
    // that outlasts both is worth a line. Once a key of ours is typed, the seat's keymap is the virtual
    // keyboard's and it comes again.
    publishActiveLayout(nullptr);
    if (f.mismatchTimer) return;
    GSource* timer = g_timeout_source_new(1000);
    g_source_set_callback(timer, swayMismatch, &f, nullptr);
    f.mismatchTimer = g_source_attach(timer, f.context);
    g_source_unref(timer);
}

gboolean swayMismatch(gpointer data) {
    Follower& f = *static_cast<Follower*>(data);
    f.mismatchTimer = 0;
    if (!activeLayout())
        announceNone(f, "sway's keymap for the seat is not the virtual keyboard's (" +
                            at(f.swayNames, size_t(f.swayIndex)) + ")");
    return G_SOURCE_REMOVE;
}

// An input object of get_inputs or of an input event; true when it was the virtual keyboard.
bool swayNoteInput(Follower& f, const nlohmann::json& input) {
    if (!input.is_object() || input.value("identifier", "") != SWAY_IDENTIFIER) return false;
    const auto index = input.find("xkb_active_layout_index");
    const auto names = input.find("xkb_layout_names");
    if (index == input.end() || !index->is_number_integer() || names == input.end() || !names->is_array())
        return false;
    f.swayNames.clear();
    for (const auto& n : *names)
        f.swayNames.push_back(n.is_string() ? n.get<std::string>() : "");
    f.swayIndex = index->get<int>();
    return true;
}

gboolean swayReadable(gint fd, GIOCondition, gpointer data) {
    Follower& f = *static_cast<Follower*>(data);
    char chunk[16384];
    const ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        announceNone(f, "sway's IPC closed");
        f.swayEvents = -1;
        close(fd);
        return G_SOURCE_REMOVE;
    }
    if (n > 0) f.swayBuffer.append(chunk, size_t(n));
    uint32_t type;
    std::string payload;
    bool changed = false;
    while (swayTake(f.swayBuffer, type, payload)) {
        if (!(type & 0x80000000u)) continue; // the subscription's own reply
        const nlohmann::json event = nlohmann::json::parse(payload, nullptr, false);
        if (event.is_object() && event.contains("input")) changed |= swayNoteInput(f, event["input"]);
    }
    if (changed) swayPublish(f);
    return G_SOURCE_CONTINUE;
}

// The virtual keyboard in get_inputs now, on a connection of its own so the event stream stays whole.
void swayQuery(Follower& f) {
    const int fd = swayConnect();
    if (fd < 0) return;
    std::string buffer, payload;
    uint32_t type = 0;
    if (swaySend(fd, IPC_GET_INPUTS, "")) {
        char chunk[16384];
        for (ssize_t n; !swayTake(buffer, type, payload) && (n = recv(fd, chunk, sizeof chunk, 0)) > 0;)
            buffer.append(chunk, size_t(n));
    }
    close(fd);
    const nlohmann::json inputs = nlohmann::json::parse(payload, nullptr, false);
    if (inputs.is_array())
        for (const auto& input : inputs)
            if (swayNoteInput(f, input)) break;
}

void keymapEvent(void* data, wl_keyboard*, uint32_t format, int32_t fd, uint32_t size) {
    Follower& f = *static_cast<Follower*>(data);
    if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && size > 0) {
        void* text = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (text != MAP_FAILED) {
            xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
            xkb_keymap* keymap =
                context ? xkb_keymap_new_from_buffer(context, static_cast<const char*>(text),
                                                     strnlen(static_cast<const char*>(text), size),
                                                     XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS)
                        : nullptr;
            if (context) xkb_context_unref(context);
            munmap(text, size);
            if (keymap) f.compositorKeymap.reset(keymap, xkb_keymap_unref);
        }
    }
    close(fd);
    swayPublish(f);
}
void ignoreEnter(void*, wl_keyboard*, uint32_t, wl_surface*, wl_array*) {}
void ignoreLeave(void*, wl_keyboard*, uint32_t, wl_surface*) {}
void ignoreKey(void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t) {}
void ignoreModifiers(void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {}
void ignoreRepeat(void*, wl_keyboard*, int32_t, int32_t) {}
const wl_keyboard_listener KEYBOARD_LISTENER = {keymapEvent, ignoreEnter,     ignoreLeave,
                                                ignoreKey,   ignoreModifiers, ignoreRepeat};

void seatCapabilities(void* data, wl_seat* seat, uint32_t capabilities) {
    Follower& f = *static_cast<Follower*>(data);
    if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) && !f.keyboard) {
        f.keyboard = wl_seat_get_keyboard(seat);
        wl_keyboard_add_listener(f.keyboard, &KEYBOARD_LISTENER, &f);
    }
}
void seatName(void*, wl_seat*, const char*) {}
const wl_seat_listener SEAT_LISTENER = {seatCapabilities, seatName};

void registryGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
    Follower& f = *static_cast<Follower*>(data);
    if (f.seat || std::strcmp(interface, wl_seat_interface.name) != 0) return;
    f.seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    wl_seat_add_listener(f.seat, &SEAT_LISTENER, &f);
}
void registryRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener REGISTRY_LISTENER = {registryGlobal, registryRemove};

gboolean waylandReadable(gint, GIOCondition condition, gpointer data) {
    Follower& f = *static_cast<Follower*>(data);
    if ((condition & (G_IO_ERR | G_IO_HUP)) || wl_display_dispatch(f.display) < 0) return G_SOURCE_REMOVE;
    wl_display_flush(f.display);
    return G_SOURCE_CONTINUE;
}

void watchFd(Follower& f, int fd, GUnixFDSourceFunc callback) {
    GSource* source = g_unix_fd_source_new(fd, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR));
    g_source_set_callback(source, G_SOURCE_FUNC(callback), &f, nullptr);
    g_source_attach(source, f.context);
    g_source_unref(source);
}

bool startSway(Follower& f) {
    f.swayEvents = swayConnect();
    if (f.swayEvents < 0) return false;
    if (!swaySend(f.swayEvents, IPC_SUBSCRIBE, R"(["input"])")) {
        close(f.swayEvents);
        f.swayEvents = -1;
        return false;
    }
    watchFd(f, f.swayEvents, swayReadable);
    f.display = wl_display_connect(nullptr);
    if (f.display) {
        f.registry = wl_display_get_registry(f.display);
        wl_registry_add_listener(f.registry, &REGISTRY_LISTENER, &f);
        // The seat, then its keyboard, then the keymap.
        for (int i = 0; i < 3; ++i)
            wl_display_roundtrip(f.display);
        watchFd(f, wl_display_get_fd(f.display), waylandReadable);
    }
    swayQuery(f);
    swayPublish(f);
    return true;
}

// ---- GNOME ------------------------------------------------------------------------------------------

using Sources = std::vector<std::pair<std::string, std::string>>; // (type, id): ("xkb", "fr+azerty")

Sources readSources(GSettings* settings, const char* key) {
    Sources sources;
    GVariant* value = g_settings_get_value(settings, key);
    if (g_variant_is_of_type(value, G_VARIANT_TYPE("a(ss)"))) {
        GVariantIter iter;
        g_variant_iter_init(&iter, value);
        const gchar *type, *id;
        while (g_variant_iter_next(&iter, "(&s&s)", &type, &id))
            sources.emplace_back(type, id);
    }
    g_variant_unref(value);
    return sources;
}

// The current source is the first recently used one that is still configured: GNOME Shell keeps
// mru-sources in the order the user switched, and sources in the order the user configured.
void gnomeRead(Follower& f) {
    const Sources sources = readSources(f.settings, "sources"), mru = readSources(f.settings, "mru-sources");
    gchar** optionList = g_settings_get_strv(f.settings, "xkb-options");
    gchar* joined = g_strjoinv(",", optionList);
    const std::string options = joined;
    g_free(joined);
    g_strfreev(optionList);
    const std::pair<std::string, std::string>* current = sources.empty() ? nullptr : &sources.front();
    for (const auto& used : mru) {
        const auto it = std::find(sources.begin(), sources.end(), used);
        if (it != sources.end()) {
            current = &*it;
            break;
        }
    }
    if (!current) return announceNone(f, "GNOME lists no input source");
    if (current->first != "xkb")
        return announceNone(f, "GNOME's input source is the " + printable(current->first) + " engine " +
                                   printable(current->second) + ", not a keyboard layout");
    const size_t plus = current->second.find('+');
    const std::string layout = current->second.substr(0, plus);
    const std::string variant = plus == std::string::npos ? "" : current->second.substr(plus + 1);
    publishNames(f, layout, variant, options, "GNOME input sources");
}

void gnomeChanged(GSettings*, gchar* key, gpointer data) {
    const std::string changed = key;
    if (changed == "sources" || changed == "mru-sources" || changed == "xkb-options")
        gnomeRead(*static_cast<Follower*>(data));
}

bool startGnome(Follower& f) {
    GSettingsSchemaSource* schemas = g_settings_schema_source_get_default();
    GSettingsSchema* schema =
        schemas ? g_settings_schema_source_lookup(schemas, INPUT_SOURCES, TRUE) : nullptr;
    if (!schema) {
        logOut("[Wayland] GNOME's input-source settings are not installed (gsettings-desktop-schemas)");
        return false;
    }
    g_settings_schema_unref(schema);
    f.settings = g_settings_new(INPUT_SOURCES);
    g_signal_connect(f.settings, "changed", G_CALLBACK(gnomeChanged), &f);
    gnomeRead(f);
    return true;
}

// ---- KDE Plasma ---------------------------------------------------------------------------------------

// A key of the [Layout] group of kxkbrc, where Plasma keeps the user's layouts ("" when absent).
std::string kxkbrc(const std::string& key) {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    const std::string dir = config && *config ? config : std::string(home ? home : "") + "/.config";
    std::ifstream in(dir + "/kxkbrc");
    bool inLayout = false;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] == '[')
            inLayout = line == "[Layout]";
        else if (inLayout && line.rfind(key + "=", 0) == 0)
            return line.substr(key.size() + 1);
    }
    return "";
}

GVariant* kdeCall(Follower& f, const char* method, const char* replyType) {
    if (!f.bus) return nullptr;
    return g_dbus_connection_call_sync(f.bus, KDE_NAME, KDE_PATH, KDE_INTERFACE, method, nullptr,
                                       G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NO_AUTO_START, 2000,
                                       nullptr, nullptr);
}

// The active layout's index from KWin (which answers only while there are several layouts); the
// layouts, with their variants and options, from kxkbrc, which KWin itself reads them from.
void kdeRead(Follower& f) {
    std::vector<std::string> layouts = splitList(kxkbrc("LayoutList"));
    const std::vector<std::string> variants = splitList(kxkbrc("VariantList"));
    uint32_t index = 0;
    if (GVariant* reply = kdeCall(f, "getLayout", "(u)")) {
        g_variant_get(reply, "(u)", &index);
        g_variant_unref(reply);
        if (layouts.empty()) {
            if (GVariant* list = kdeCall(f, "getLayoutsList", "(a(sss))")) {
                GVariantIter* iter = nullptr;
                g_variant_get(list, "(a(sss))", &iter);
                const gchar *shortName, *display, *longName;
                while (g_variant_iter_next(iter, "(&s&s&s)", &shortName, &display, &longName))
                    layouts.emplace_back(shortName);
                g_variant_iter_free(iter);
                g_variant_unref(list);
            }
        }
    }
    if (layouts.empty() || at(layouts, index).empty())
        return announceNone(f, "KDE Plasma reports no keyboard layout");
    publishNames(f, at(layouts, index), at(variants, index), kxkbrc("Options"), "KDE Plasma");
}

void kdeSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
               gpointer data) {
    kdeRead(*static_cast<Follower*>(data));
}
void kdeNameChange(GDBusConnection*, const gchar*, const gchar*, gpointer data) {
    kdeRead(*static_cast<Follower*>(data));
}

bool startKde(Follower& f, bool named) {
    f.bus = wayland_sessionBus(nullptr);
    if (!f.bus) return named && (kdeRead(f), true);
    GVariant* owner =
        g_dbus_connection_call_sync(f.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                    "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", KDE_NAME),
                                    G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    gboolean owned = FALSE;
    if (owner) {
        g_variant_get(owner, "(b)", &owned);
        g_variant_unref(owner);
    }
    if (!named && !owned) {
        g_clear_object(&f.bus);
        return false;
    }
    // Both signals: a switch, and a new list of layouts (the user added or removed one).
    f.subscription =
        g_dbus_connection_signal_subscribe(f.bus, nullptr, KDE_INTERFACE, nullptr, KDE_PATH, nullptr,
                                           G_DBUS_SIGNAL_FLAGS_NONE, kdeSignal, &f, nullptr);
    // The interface comes and goes as the user goes from one layout to several.
    f.nameWatch = g_bus_watch_name_on_connection(
        f.bus, KDE_NAME, G_BUS_NAME_WATCHER_FLAGS_NONE, kdeNameChange,
        [](GDBusConnection* c, const gchar* n, gpointer d) { kdeNameChange(c, n, nullptr, d); }, &f, nullptr);
    kdeRead(f);
    return true;
}

// ---- The system's configured layout -------------------------------------------------------------------

void localeRead(Follower& f) {
    GVariant* reply = g_dbus_connection_call_sync(
        f.bus, "org.freedesktop.locale1", "/org/freedesktop/locale1", "org.freedesktop.DBus.Properties",
        "GetAll", g_variant_new("(s)", "org.freedesktop.locale1"), G_VARIANT_TYPE("(a{sv})"),
        G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    std::string layout, variant, options;
    if (reply) {
        GVariant* all = g_variant_get_child_value(reply, 0);
        const gchar* text = nullptr;
        if (g_variant_lookup(all, "X11Layout", "&s", &text)) layout = text;
        if (g_variant_lookup(all, "X11Variant", "&s", &text)) variant = text;
        if (g_variant_lookup(all, "X11Options", "&s", &text)) options = text;
        g_variant_unref(all);
        g_variant_unref(reply);
    }
    if (layout.empty()) return announceNone(f, "locale1 reports no keyboard layout");
    publishNames(f, at(splitList(layout), 0), at(splitList(variant), 0), options, "locale1");
}

void localeSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                  gpointer data) {
    localeRead(*static_cast<Follower*>(data));
}

bool startLocale1(Follower& f) {
    f.bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    if (!f.bus) return false;
    g_dbus_connection_set_exit_on_close(f.bus, FALSE);
    GVariant* reply = g_dbus_connection_call_sync(
        f.bus, "org.freedesktop.locale1", "/org/freedesktop/locale1", "org.freedesktop.DBus.Properties",
        "Get", g_variant_new("(ss)", "org.freedesktop.locale1", "X11Layout"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    if (!reply) return false;
    g_variant_unref(reply);
    f.subscription = g_dbus_connection_signal_subscribe(
        f.bus, "org.freedesktop.locale1", "org.freedesktop.DBus.Properties", "PropertiesChanged",
        "/org/freedesktop/locale1", nullptr, G_DBUS_SIGNAL_FLAGS_NONE, localeSignal, &f, nullptr);
    localeRead(f);
    return true;
}

// Debian's console and X keyboard settings: shell assignments such as XKBLAYOUT="de".
bool startDefaultKeyboard(Follower& f) {
    std::ifstream in("/etc/default/keyboard");
    if (!in) return false;
    std::string layout, variant, options;
    for (std::string line; std::getline(in, line);) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
            value = value.substr(1, value.size() - 2);
        const std::string key = line.substr(0, eq);
        if (key == "XKBLAYOUT")
            layout = value;
        else if (key == "XKBVARIANT")
            variant = value;
        else if (key == "XKBOPTIONS")
            options = value;
    }
    if (at(splitList(layout), 0).empty()) return false;
    publishNames(f, at(splitList(layout), 0), at(splitList(variant), 0), options, "/etc/default/keyboard");
    return true;
}

bool desktopIs(const char* name) {
    const char* desktops = std::getenv("XDG_CURRENT_DESKTOP");
    for (const std::string& d : splitList(desktops ? desktops : "", ':'))
        if (d == name) return true;
    return false;
}

void run(Follower* f) {
    g_main_context_push_thread_default(f->context);
    const bool started = startSway(*f) || (desktopIs("GNOME") && startGnome(*f)) ||
                         startKde(*f, desktopIs("KDE")) || startLocale1(*f) || startDefaultKeyboard(*f);
    if (!started) announceNone(*f, "No desktop reports a keyboard layout");
    g_main_loop_run(f->loop);

    if (f->subscription) g_dbus_connection_signal_unsubscribe(f->bus, f->subscription);
    if (f->nameWatch) g_bus_unwatch_name(f->nameWatch);
    if (f->settings) g_object_unref(f->settings);
    if (f->bus) g_object_unref(f->bus);
    if (f->swayEvents >= 0) close(f->swayEvents);
    if (f->keyboard) wl_keyboard_destroy(f->keyboard);
    if (f->seat) wl_seat_destroy(f->seat);
    if (f->registry) wl_registry_destroy(f->registry);
    if (f->display) wl_display_disconnect(f->display);
    // Sources still attached (the fd watches) go with the context; pending D-Bus callbacks run here.
    while (g_main_context_iteration(f->context, FALSE)) {
    }
    g_main_context_pop_thread_default(f->context);
}

} // namespace

void wayland_startLayoutFollower() {
    std::lock_guard<std::mutex> lock(g_threadMutex);
    if (g_follower) return;
    g_follower = new Follower;
    g_follower->context = g_main_context_new();
    g_follower->loop = g_main_loop_new(g_follower->context, FALSE);
    g_thread = std::thread(run, g_follower);
}

void wayland_stopLayoutFollower() {
    std::lock_guard<std::mutex> lock(g_threadMutex);
    if (!g_follower) return;
    // Queued on the loop's own context: a quit before the loop runs would otherwise be lost.
    g_main_context_invoke(
        g_follower->context,
        [](gpointer loop) {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        g_follower->loop);
    g_thread.join();
    g_main_loop_unref(g_follower->loop);
    g_main_context_unref(g_follower->context);
    delete g_follower;
    g_follower = nullptr;
    publishActiveLayout(nullptr);
}
