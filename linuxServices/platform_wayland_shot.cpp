// A Wayland client cannot read the screen: the desktop shell writes the picture to a file we name.
// Shells that refuse us (current GNOME allows only its own callers) or that have no such service
// are asked through the desktop portal instead.
#include "platform_common.h"
#include "platform_wayland.h"
#include "platform_x11.h"
#include "png_recode.h"
#include "x11_display.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Velloran waits for the reply and reads no other command meanwhile: a desktop that never answers
// must not hold the service longer than this, whichever step it hangs in.
constexpr int REQUEST_LIMIT_MS = 30000;
// What GDBus waits for a reply when not told otherwise; the shell's call keeps it.
constexpr int GDBUS_DEFAULT_TIMEOUT_MS = 25000;

// The time one request has left. Tests shorten the bound for services that never answer;
// nothing else sets the variable.
struct Deadline {
    int limitMs = REQUEST_LIMIT_MS;
    std::chrono::steady_clock::time_point end;

    Deadline() {
        const char* text = std::getenv("KX_TEST_SCREENSHOT_TIMEOUT_MS");
        const int value = text ? std::atoi(text) : 0;
        if (value > 0) limitMs = value;
        end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    }
    int leftMs() const {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        return int(std::max<long long>(left.count(), 0));
    }
};

bool timedOut(const GError* error) {
    return g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT);
}

// The one line of a request that ran out of time, naming the step.
void logTimeout(const std::string& step) {
    logErr("Screenshot timed out: " + step);
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

// Asks the portal for a screenshot without a dialog and waits for its answer, within what is left of
// the request; the URI of the image, or "" (with a line saying why). `asked` is when the request left.
std::string portalScreenshotUri(GMainContext* context, const Deadline& deadline, timespec& asked) {
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
    // The file system stamps the image from the coarse clock: an image made after this moment is
    // never stamped earlier.
    clock_gettime(CLOCK_REALTIME_COARSE, &asked);
    const int callMs = deadline.leftMs();
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
        "org.freedesktop.portal.Screenshot", "Screenshot", g_variant_new("(sa{sv})", "", &options),
        G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, std::max(callMs, 1), nullptr, &error);
    bool waitedOut = false;
    int waitMs = 0;
    if (!reply) {
        if (timedOut(error))
            logTimeout("the desktop portal's Screenshot call gave no answer within " +
                       std::to_string(callMs) + " ms");
        else
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
        waitMs = deadline.leftMs();
        GSource* timer = g_timeout_source_new(guint(waitMs));
        g_source_set_callback(timer, raiseFlag, &waitedOut, nullptr);
        g_source_attach(timer, context);
        while (!answer.answered && !waitedOut)
            g_main_context_iteration(context, TRUE);
        g_source_destroy(timer);
        g_source_unref(timer);
    }
    unsubscribe(bus, subscription, answer, context);
    if (waitedOut && !answer.answered) {
        logTimeout("the desktop portal's answer did not come within " + std::to_string(waitMs) +
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

// Whether the portal made this file for our request, so that removing it is ours to do: a plain file
// of our own, under no other name, last changed after we asked. A file that lies where the portal
// saves but was there before, is shared, or is another's stays, wherever it lies. The kernel stamps
// files from the coarse clock; a stamp without nanoseconds comes from a file system that keeps whole
// seconds, whose stamps may lie up to a second before the moment we asked.
bool madeForRequest(const struct stat& st, const timespec& asked) {
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) return false;
    if (st.st_mtim.tv_nsec == 0) return st.st_mtim.tv_sec >= asked.tv_sec;
    return st.st_mtim.tv_sec > asked.tv_sec ||
           (st.st_mtim.tv_sec == asked.tv_sec && st.st_mtim.tv_nsec >= asked.tv_nsec);
}

// The desktop the portal's image shows, when known: an image larger than it is refused before a pixel
// is decoded. Where it is unknown, an image is bounded by a size no desktop reaches, so that a file
// of a few hundred bytes cannot claim gigabytes.
struct DesktopBounds {
    bool known = false;
    int32_t width = 0, height = 0;
};
constexpr int32_t UNKNOWN_DESKTOP_SIDE_MAX = 16384;
constexpr int64_t UNKNOWN_DESKTOP_PIXELS_MAX = int64_t(1) << 25; // an 8K screen, with room

bool withinDesktop(int32_t width, int32_t height, const DesktopBounds& desktop) {
    if (desktop.known) return width <= desktop.width && height <= desktop.height;
    return width <= UNKNOWN_DESKTOP_SIDE_MAX && height <= UNKNOWN_DESKTOP_SIDE_MAX &&
           int64_t(width) * height <= UNKNOWN_DESKTOP_PIXELS_MAX;
}

// The region of the image in the file the portal names, as PNG, read from the very file whose nature
// is checked, so that a swap of the name in between changes nothing; the file is removed when it was
// made for this request and the name still leads to it. A link is neither followed nor removed.
// "" (with a line) when there is no image of the region.
std::string takePortalRegion(const std::string& path, const timespec& asked, int32_t x, int32_t y,
                             int32_t width, int32_t height, const DesktopBounds& desktop) {
    // Non-blocking: a FIFO at the path would otherwise hold the service until someone writes to it.
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        logErr(
            "Desktop portal screenshot: " + printable(path) +
            (errno == ELOOP ? std::string(" is a link; not followed") : ": " + std::string(strerror(errno))));
        return std::string();
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        logErr("Desktop portal screenshot: " + printable(path) + " is not a plain file; not read");
        close(fd);
        return std::string();
    }
    const auto fit = [&](int imageWidth, int imageHeight, PngRect& rect) {
        if (!withinDesktop(imageWidth, imageHeight, desktop)) {
            logErr("Desktop portal screenshot: " + printable(path) + " is " + std::to_string(imageWidth) +
                   "x" + std::to_string(imageHeight) + ", larger than " +
                   (desktop.known ? "the " + std::to_string(desktop.width) + "x" +
                                        std::to_string(desktop.height) + " desktop"
                                  : std::string("any desktop")) +
                   "; not decoded");
            return false;
        }
        if (!x11_clampRegion(x, y, width, height, imageWidth, imageHeight)) {
            logErr("Desktop portal screenshot: the region lies outside the screen");
            return false;
        }
        rect = {x, y, width, height};
        return true;
    };
    std::string error;
    const std::string png = png_recodeRegion(fd, fit, error);
    if (!error.empty())
        logErr("Desktop portal screenshot: cannot load " + printable(path) + ": " + printable(error));
    else if (!png.empty())
        logOut("Desktop portal screenshot: " + std::to_string(width) + "x" + std::to_string(height) + " at " +
               std::to_string(x) + ", " + std::to_string(y));

    struct stat now;
    if (!madeForRequest(st, asked))
        logOut("Desktop portal screenshot: " + printable(path) +
               " left in place (not made for this request)");
    else if (lstat(path.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino)
        unlink(path.c_str());
    close(fd);
    return png;
}

// The local path a file uri names, or "" for anything else: another host's file is not ours, and a
// query or fragment is no part of a file name.
std::string localPathOf(const std::string& uri) {
    GUri* parsed = g_uri_parse(uri.c_str(), G_URI_FLAGS_NONE, nullptr);
    bool local = parsed && g_ascii_strcasecmp(g_uri_get_scheme(parsed), "file") == 0 &&
                 !g_uri_get_query(parsed) && !g_uri_get_fragment(parsed);
    if (parsed) g_uri_unref(parsed);
    gchar* host = nullptr;
    gchar* file = local ? g_filename_from_uri(uri.c_str(), &host, nullptr) : nullptr;
    std::string path;
    if (file && (!host || g_ascii_strcasecmp(host, "localhost") == 0)) path = file;
    g_free(host);
    g_free(file);
    return path;
}

// The rectangle, cut from the whole screen the portal gives and clamped to it as an X11 capture is.
std::string portalCapture(int32_t x, int32_t y, int32_t width, int32_t height, const DesktopBounds& desktop,
                          GMainContext* context, const Deadline& deadline) {
    if (deadline.leftMs() == 0) {
        logTimeout("no time was left to ask the desktop portal");
        return std::string();
    }
    logOut("Asking the desktop portal for the screenshot instead...");
    timespec asked{};
    const std::string uri = portalScreenshotUri(context, deadline, asked);
    if (uri.empty()) return std::string();
    const std::string path = localPathOf(uri);
    if (path.empty()) {
        logErr("Desktop portal screenshot: not a local file: " + printable(uri));
        return std::string();
    }
    // Alpha as an X11 capture has it, so Velloran gets one format whichever way the image came.
    const std::string png = takePortalRegion(path, asked, x, y, width, height, desktop);
    return base64Encode(reinterpret_cast<const unsigned char*>(png.data()), png.size());
}

// The desktop as X clients see it: XWayland's root window, where XWayland runs. False when its size
// cannot be learnt.
bool desktopSize(int32_t& width, int32_t& height) {
    Display* dpy = x11_openDisplay();
    if (!dpy) return false;
    width = DisplayWidth(dpy, DefaultScreen(dpy));
    height = DisplayHeight(dpy, DefaultScreen(dpy));
    x11_closeDisplay(dpy);
    return true;
}

} // namespace

std::string wayland_captureRegionBase64(int32_t x, int32_t y, int32_t width, int32_t height) {
    logOut("Received region screenshot req (Wayland/GNOME)... ");
    const Deadline deadline;
    // The part on the screen, as an X11 capture gives it; the shell would refuse the whole rectangle.
    DesktopBounds desktop;
    desktop.known = desktopSize(desktop.width, desktop.height);
    if (desktop.known && !x11_clampRegion(x, y, width, height, desktop.width, desktop.height)) {
        logErr("Screenshot: the region lies outside the " + std::to_string(desktop.width) + "x" +
               std::to_string(desktop.height) + " desktop");
        return std::string();
    }
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
    const int callMs = std::min(GDBUS_DEFAULT_TIMEOUT_MS, deadline.leftMs());
    GVariant* reply = g_dbus_proxy_call_sync(
        proxy, "ScreenshotArea", g_variant_new("(iiiibs)", x, y, width, height, FALSE, path.c_str()),
        G_DBUS_CALL_FLAGS_NONE, std::max(callMs, 1), nullptr, &error);
    std::string result;
    if (!reply) {
        const bool hung = timedOut(error);
        if (hung)
            logTimeout("the shell's ScreenshotArea call gave no answer within " + std::to_string(callMs) +
                       " ms");
        else
            logErr("D-Bus aanroep mislukt: " + errorText(error));
        g_clear_error(&error);
        g_object_unref(proxy);
        // The portal of this desktop asks the same shell: after a shell that hung, it would only wait too.
        // After a refusal (current GNOME) or on a desktop without this service, it may still serve us.
        return hung ? std::string() : portalCapture(x, y, width, height, desktop, request.context, deadline);
    }
    if (!readFileBase64(path, result))
        logErr("Kon het screenshotbestand niet openen voor lezen: " + printable(path));
    g_variant_unref(reply);
    g_object_unref(proxy);
    return result;
}
