// A Wayland client cannot read the screen: the desktop shell writes the picture to a file we name.
// Shells that refuse us (current GNOME allows only its own callers) or that have no such service
// are asked through the desktop portal instead.
#include "platform_common.h"
#include "platform_wayland.h"
#include "platform_x11.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gio.h>
#include <unistd.h>

namespace {

constexpr int PORTAL_WAIT_MS = 30000;

// Tests shorten the waits for a service that never answers; nothing else sets this variable.
int waitLimitMs(int normal) {
    const char* text = std::getenv("KX_TEST_SCREENSHOT_TIMEOUT_MS");
    const int value = text ? std::atoi(text) : 0;
    return value > 0 ? value : normal;
}

// GDBus delivers the signals of a subscription to the thread-default context of the thread that made
// it. A context of the request's own keeps them from the accessibility monitor's loop, which runs the
// global default one, and lets the request wait for the portal's answer.
struct RequestContext {
    GMainContext* context = g_main_context_new();
    RequestContext() { g_main_context_push_thread_default(context); }
    ~RequestContext() {
        // Pending dispatches (of released subscriptions) free their data when they run.
        while (g_main_context_iteration(context, FALSE)) {
        }
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
    }
};

// The shell's lines are in Dutch, the portal's in English.
std::string errorText(const GError* error, const char* unknown = "Onbekende fout") {
    return printable(error ? error->message : unknown);
}

// Base64 of the shell's whole file; false when it cannot be opened.
bool readFileBase64(const std::string& path, std::string& result) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) return false;
    const std::streamoff size = file.tellg();
    file.seekg(0);
    std::vector<char> bytes(size > 0 ? size_t(size) : 0);
    if (file.read(bytes.data(), std::streamsize(bytes.size())))
        result = base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return true;
}

gboolean raiseFlag(gpointer flag) {
    *static_cast<bool*>(flag) = true;
    return G_SOURCE_REMOVE;
}

struct PortalAnswer {
    bool answered = false;
    bool released = false;
    guint32 response = 2;
    std::string uri;
};

void onPortalResponse(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                      GVariant* parameters, gpointer data) {
    auto* answer = static_cast<PortalAnswer*>(data);
    if (answer->answered || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ua{sv})"))) return;
    GVariant* results = nullptr;
    g_variant_get(parameters, "(u@a{sv})", &answer->response, &results);
    const gchar* uri = nullptr;
    if (g_variant_lookup(results, "uri", "&s", &uri)) answer->uri = uri;
    g_variant_unref(results);
    answer->answered = true;
}

guint subscribeResponse(GDBusConnection* bus, const std::string& handle, PortalAnswer& answer) {
    return g_dbus_connection_signal_subscribe(
        bus, "org.freedesktop.portal.Desktop", "org.freedesktop.portal.Request", "Response", handle.c_str(),
        nullptr, G_DBUS_SIGNAL_FLAGS_NONE, onPortalResponse, &answer,
        [](gpointer data) { static_cast<PortalAnswer*>(data)->released = true; });
}

// The subscription's data lives on our stack: wait until GDBus lets go of it.
void unsubscribe(GDBusConnection* bus, guint subscription, PortalAnswer& answer, GMainContext* context) {
    answer.released = false;
    g_dbus_connection_signal_unsubscribe(bus, subscription);
    while (!answer.released)
        g_main_context_iteration(context, TRUE);
}

// Asks the portal for a screenshot without a dialog and waits for its answer; the URI of the image, or
// "" (with a line saying why).
std::string portalScreenshotUri(GMainContext* context) {
    GError* error = nullptr;
    GDBusConnection* bus = wayland_sessionBus(&error);
    if (!bus) {
        logErr("Desktop portal screenshot failed: " + errorText(error, "no session bus"));
        g_clear_error(&error);
        return std::string();
    }
    // The portal answers on a request object named after our bus name and a token of ours. Listening
    // there before asking means an answer that comes at once is not missed.
    static std::atomic<unsigned> requests{0};
    const std::string token = "kx_services_" + std::to_string(getpid()) + "_" + std::to_string(++requests);
    std::string sender = g_dbus_connection_get_unique_name(bus) + 1;
    for (char& c : sender)
        if (c == '.') c = '_';
    std::string handle = "/org/freedesktop/portal/desktop/request/" + sender + "/" + token;
    PortalAnswer answer;
    guint subscription = subscribeResponse(bus, handle, answer);

    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    g_variant_builder_add(&options, "{sv}", "interactive", g_variant_new_boolean(FALSE));
    g_variant_builder_add(&options, "{sv}", "modal", g_variant_new_boolean(FALSE));
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
        "org.freedesktop.portal.Screenshot", "Screenshot", g_variant_new("(sa{sv})", "", &options),
        G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, waitLimitMs(-1), nullptr, &error);
    bool timedOut = false;
    if (!reply) {
        logErr("Desktop portal screenshot failed: " + errorText(error, "unknown error"));
        g_clear_error(&error);
    } else {
        const gchar* given = nullptr;
        g_variant_get(reply, "(&o)", &given);
        if (handle != given) { // portals older than the token rule name the request themselves
            unsubscribe(bus, subscription, answer, context);
            handle = given;
            subscription = subscribeResponse(bus, handle, answer);
        }
        g_variant_unref(reply);
        GSource* timer = g_timeout_source_new(guint(waitLimitMs(PORTAL_WAIT_MS)));
        g_source_set_callback(timer, raiseFlag, &timedOut, nullptr);
        g_source_attach(timer, context);
        while (!answer.answered && !timedOut)
            g_main_context_iteration(context, TRUE);
        g_source_destroy(timer);
        g_source_unref(timer);
    }
    unsubscribe(bus, subscription, answer, context);
    if (timedOut) {
        logErr("Desktop portal screenshot: no answer within " + std::to_string(waitLimitMs(PORTAL_WAIT_MS)) +
               " ms; request closed");
        g_dbus_connection_call(bus, "org.freedesktop.portal.Desktop", handle.c_str(),
                               "org.freedesktop.portal.Request", "Close", nullptr, nullptr,
                               G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
    }
    g_object_unref(bus);
    if (!answer.answered) return std::string();
    if (answer.response != 0) {
        logErr("Desktop portal screenshot refused (response " + std::to_string(answer.response) + ")");
        return std::string();
    }
    if (answer.uri.empty()) logErr("Desktop portal screenshot: the answer names no image");
    return answer.uri;
}

// Only files in the user's temporary or runtime directory are ours to remove; a portal may also save
// into the user's pictures, which stay.
void removeIfTemporary(const std::string& path) {
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    for (const char* dir : {g_get_tmp_dir(), runtimeDir})
        if (dir && *dir && pathIsInside(path, dir)) {
            unlink(path.c_str());
            return;
        }
}

// The rectangle, cut from the whole screen the portal gives and clamped to it as an X11 capture is.
std::string portalCapture(int32_t x, int32_t y, int32_t width, int32_t height, GMainContext* context) {
    logOut("Asking the desktop portal for the screenshot instead...");
    const std::string uri = portalScreenshotUri(context);
    if (uri.empty()) return std::string();
    GError* error = nullptr;
    gchar* file = g_filename_from_uri(uri.c_str(), nullptr, &error);
    if (!file) {
        logErr("Desktop portal screenshot: not a local file: " + printable(uri));
        g_clear_error(&error);
        return std::string();
    }
    const std::string path = file;
    g_free(file);
    GdkPixbuf* screen = gdk_pixbuf_new_from_file(path.c_str(), &error);
    removeIfTemporary(path);
    if (!screen) {
        logErr("Desktop portal screenshot: cannot load " + printable(path) + ": " +
               errorText(error, "unknown error"));
        g_clear_error(&error);
        return std::string();
    }
    std::string result;
    if (!x11_clampRegion(x, y, width, height, gdk_pixbuf_get_width(screen), gdk_pixbuf_get_height(screen))) {
        logErr("Desktop portal screenshot: the region lies outside the screen");
    } else {
        // Alpha as an X11 capture has it, so Velloran gets one format whichever way the image came.
        GdkPixbuf* region = gdk_pixbuf_new_subpixbuf(screen, x, y, width, height);
        GdkPixbuf* rgba = gdk_pixbuf_add_alpha(region, FALSE, 0, 0, 0);
        const std::string png = x11_encodePng(rgba);
        if (png.empty()) logErr("Desktop portal screenshot: cannot encode the region");
        result = base64Encode(reinterpret_cast<const unsigned char*>(png.data()), png.size());
        g_object_unref(rgba);
        g_object_unref(region);
        logOut("Desktop portal screenshot: " + std::to_string(width) + "x" + std::to_string(height) + " at " +
               std::to_string(x) + ", " + std::to_string(y));
    }
    g_object_unref(screen);
    return result;
}

} // namespace

bool pathIsInside(const std::string& path, const std::string& dir) {
    char* realDir = realpath(dir.c_str(), nullptr);
    char* realPath = realpath(path.c_str(), nullptr);
    bool inside = false;
    if (realDir && realPath) {
        std::string prefix = realDir;
        if (prefix.back() != '/') prefix += '/';
        inside = std::string(realPath).compare(0, prefix.size(), prefix) == 0;
    }
    free(realDir);
    free(realPath);
    return inside;
}

std::string wayland_captureRegionBase64(int32_t x, int32_t y, int32_t width, int32_t height) {
    logOut("Received region screenshot req (Wayland/GNOME)... ");
    GError* error = nullptr;
    gchar* tempPath = nullptr;
    const int fd = g_file_open_tmp("gnome_scr_XXXXXX.png", &tempPath, &error);
    if (fd < 0) {
        if (error) logErr("Fout bij aanmaken temp file: " + errorText(error));
        g_clear_error(&error);
        g_free(tempPath);
        return std::string();
    }
    close(fd); // the shell fills the file by its name
    // Removed when the request ends, however it ends.
    const struct TempFile {
        std::string path;
        ~TempFile() { unlink(path.c_str()); }
    } temp{tempPath};
    const std::string& path = temp.path;
    g_free(tempPath);

    RequestContext request;
    // The call is all we need of the service: loading its properties and following its signals would
    // cost two more round trips per request.
    const auto flags = GDBusProxyFlags(G_DBUS_PROXY_FLAGS_DO_NOT_LOAD_PROPERTIES |
                                       G_DBUS_PROXY_FLAGS_DO_NOT_CONNECT_SIGNALS);
    GDBusConnection* bus = wayland_sessionBus(&error);
    GDBusProxy* proxy = bus ? g_dbus_proxy_new_sync(bus, flags, nullptr, "org.gnome.Shell.Screenshot",
                                                    "/org/gnome/Shell/Screenshot",
                                                    "org.gnome.Shell.Screenshot", nullptr, &error)
                            : nullptr;
    if (bus) g_object_unref(bus); // the proxy holds the connection
    if (!proxy) {
        logErr("Kon geen D-Bus proxy maken: " + errorText(error));
        g_clear_error(&error);
        return std::string();
    }
    GVariant* reply = g_dbus_proxy_call_sync(
        proxy, "ScreenshotArea", g_variant_new("(iiiibs)", x, y, width, height, FALSE, path.c_str()),
        G_DBUS_CALL_FLAGS_NONE, waitLimitMs(-1), nullptr, &error);
    std::string result;
    if (!reply) {
        logErr("D-Bus aanroep mislukt: " + errorText(error));
        g_clear_error(&error);
        g_object_unref(proxy);
        // A refusal (current GNOME) or a desktop without this service; the portal may still serve us.
        return portalCapture(x, y, width, height, request.context);
    }
    if (!readFileBase64(path, result))
        logErr("Kon het screenshotbestand niet openen voor lezen: " + printable(path));
    g_variant_unref(reply);
    g_object_unref(proxy);
    return result;
}
