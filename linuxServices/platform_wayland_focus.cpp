// Focus in a Wayland session comes from two sources: the accessibility bus for native applications,
// when the desktop has accessibility on, and the XWayland server for X11 applications.
#include "platform_common.h"
#include "platform_wayland.h"
#include "platform_x11.h"

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include <dlfcn.h>
#include <gio/gio.h>

namespace {

const std::string ENABLE_HINT =
    " Enable accessibility: gsettings set org.gnome.desktop.interface toolkit-accessibility true; "
    "systemctl --user start at-spi-dbus-bus.service";
const std::string FALLBACK = " XWayland/X11 monitoring will be used; limited to X11 apps only.";
const char A11Y_BUS[] = "org.a11y.Bus";
using Clock = std::chrono::steady_clock;
// AT-SPI's start asks the accessibility bus's launcher and the registry, each with its own time limit.
constexpr auto READY_WAIT = std::chrono::seconds(30);

bool nameHasOwner(GDBusConnection* bus, int timeoutMs) {
    GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "NameHasOwner",
                                                  g_variant_new("(s)", A11Y_BUS), G_VARIANT_TYPE("(b)"),
                                                  G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, nullptr);
    if (!reply) return false;
    gboolean owned = FALSE;
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
    return owned;
}

// Activates the accessibility bus on the session bus (it is D-Bus activatable) and checks again.
bool startAccessibilityBus() {
    GDBusConnection* bus = wayland_sessionBus(nullptr);
    if (!bus) return false;
    GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "StartServiceByName",
                                                  g_variant_new("(su)", A11Y_BUS, 0u), G_VARIANT_TYPE("(u)"),
                                                  G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    if (reply) g_variant_unref(reply);
    const bool owned = nameHasOwner(bus, 1500);
    g_object_unref(bus);
    return owned;
}

// Whether AT-SPI focus monitoring can be used; when it can, `child` is the running monitor process and
// `early` what it sent past its first word. Otherwise writes the one line that says why not.
bool a11y_enabled(AtspiChild& child, std::vector<std::string>& early) {
    void* library = dlopen("libatspi.so.0", RTLD_LAZY | RTLD_NOLOAD);
    if (!library) library = dlopen("libatspi.so.0", RTLD_LAZY);
    if (!library) {
        logOut("Accessibility is not installed. Falling back to XWayland/X11 monitoring; limited to X11 apps "
               "only. Install AT Spi: sudo apt install at-spi2-core libatspi2.0-0");
        return false;
    }
    dlclose(library);

    const char* noBridge = std::getenv("NO_AT_BRIDGE");
    if (noBridge && std::string(noBridge) != "0") {
        logOut("Accessibility is not enabled (NO_AT_BRIDGE set). Falling back to XWayland/X11 monitoring; "
               "limited to X11 apps only." +
               ENABLE_HINT);
        return false;
    }
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (!address || !*address) {
        logOut("Accessibility is not enabled (no session D-Bus)." + FALLBACK + ENABLE_HINT);
        return false;
    }
    GDBusConnection* bus = wayland_sessionBus(nullptr);
    if (!bus) {
        logOut("Accessibility is not enabled (cannot connect to session D-Bus)." + FALLBACK + ENABLE_HINT);
        return false;
    }
    bool owned = nameHasOwner(bus, -1);
    g_object_unref(bus);
    if (!owned) owned = startAccessibilityBus();
    if (!owned) {
        logOut("Accessibility is not enabled (org.a11y.Bus is not running)." + FALLBACK + ENABLE_HINT);
        return false;
    }

    // The monitor process initialises AT-SPI; its first word says whether it could.
    if (!wayland_startAtspiChild(child)) {
        logOut("Accessibility init failed (AT-SPI2): the monitor process cannot be started." + FALLBACK +
               ENABLE_HINT);
        return false;
    }
    // No word at all: it died, or hung past the wait.
    std::string failure = "the monitor process did not start";
    bool ready = false, said = false;
    const Clock::time_point deadline = Clock::now() + READY_WAIT;
    while (!ready && !said && Clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const bool open = wayland_readAtspiChild(child, int(left.count()) + 1, [&](const std::string& line) {
            const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
            if (ready || !record.is_object())
                early.push_back(line);
            else if (record.contains("initFailed")) {
                const int code = record.value("initFailed", -1);
                said = code == 0; // it wrote its own line
                failure = "with error code: " + std::to_string(code);
            } else
                ready = record.contains("ready");
        });
        if (!open) break;
    }
    if (ready) return true;
    wayland_stopAtspiChild(child);
    if (!said) logOut("Accessibility init failed (AT-SPI2) " + failure + "." + FALLBACK + ENABLE_HINT);
    return false;
}

// X11 applications under XWayland. While the accessibility monitor reports native applications, a
// focus that leaves every X window is theirs to report, so the no-window line is left out.
void wayland_monitorFocusXWayland(bool isNativeListeningActive) {
    x11_followActiveWindow(true, !isNativeListeningActive);
}

} // namespace

GDBusConnection* wayland_sessionBus(GError** error) {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error);
    // GIO ends the process when the shared connection closes; a restarted session bus must not take
    // the service down with it.
    if (bus) g_dbus_connection_set_exit_on_close(bus, FALSE);
    return bus;
}

void wayland_monitorFocusEntry() {
    bool isListeningForNativeWayland = false;
    AtspiChild child;
    std::vector<std::string> early;
    if (a11y_enabled(child, early)) {
        wayland_manageAccessibilitySwitch();
        logOut("Launching thread: Listening to Application focus for Wayland applications)");
        std::thread(wayland_monitorFocusNative, child, early).detach();
        isListeningForNativeWayland = true;
    }
    logOut("Launching thread: Listening to Application focus for x11 applications)");
    std::thread(wayland_monitorFocusXWayland, isListeningForNativeWayland).join();
}
