#include "x11_display.h"

#include "platform_common.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>

#include <X11/Xatom.h>

namespace {

// Recursive: closing a connection may report its loss on the closing thread, and the entry must be
// gone before another thread's new connection can be given the freed address.
std::recursive_mutex g_lostMtx;
std::unordered_set<Display*> g_lost;

int quiet_xerror(Display*, XErrorEvent*) {
    return 0;
}

// Called first on a lost connection; Xlib's default prints a "fatal IO error" text.
int quietIoError(Display*) {
    return 0;
}

// Called after quietIoError in place of Xlib's default, which calls exit(). Returning marks the
// connection dead, and Xlib then fails every further request on it without touching the socket.
void markLost(Display* dpy, void*) {
    std::lock_guard<std::recursive_mutex> lock(g_lostMtx);
    g_lost.insert(dpy);
}

void installRules() {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        XSetErrorHandler(quiet_xerror);
        XSetIOErrorHandler(quietIoError);
    });
}

// A server that takes the connection and never answers its set-up (one stopped, or XWayland stuck in
// its own start, seen on GNOME) would hold XOpenDisplay for good, and with it Xlib's global lock, which
// every later open in the process waits on. So the open runs on a thread of its own and is given up
// after SETUP_BOUND; while a given-up open still waits, further opens fail at once instead of queueing
// behind it. The thread closes what it gets once it is no longer awaited.
constexpr auto SETUP_BOUND = std::chrono::seconds(5);
std::atomic<int> g_unanswered{0};

struct PendingOpen {
    std::mutex mtx;
    std::condition_variable done;
    bool finished = false;
    bool givenUp = false;
    Display* dpy = nullptr;
};

} // namespace

Display* x11_openDisplay(bool* unanswered) {
    installRules();
    bool ignored = false;
    bool& givenUp = unanswered ? *unanswered : ignored;
    givenUp = g_unanswered.load() > 0;
    if (givenUp) return nullptr;
    auto pending = std::make_shared<PendingOpen>();
    std::thread([pending] {
        Display* dpy = XOpenDisplay(nullptr);
        if (dpy) XSetIOErrorExitHandler(dpy, markLost, nullptr);
        std::unique_lock<std::mutex> lock(pending->mtx);
        if (pending->givenUp) {
            lock.unlock();
            x11_closeDisplay(dpy);
            --g_unanswered;
            return;
        }
        pending->dpy = dpy;
        pending->finished = true;
        pending->done.notify_one();
    }).detach();
    std::unique_lock<std::mutex> lock(pending->mtx);
    if (!pending->done.wait_for(lock, SETUP_BOUND, [&] { return pending->finished; })) {
        pending->givenUp = givenUp = true;
        ++g_unanswered;
    }
    return pending->dpy;
}

Display* x11_openDisplayFor(const char* refusal) {
    bool unanswered = false;
    Display* dpy = x11_openDisplay(&unanswered);
    if (!dpy) {
        const char* name = std::getenv("DISPLAY");
        const std::string why = unanswered ? " does not answer." : " cannot be opened.";
        logErr(std::string("[x11] ") + refusal + ": " +
               (name && *name ? "the X display " + printable(name) + why : "DISPLAY is not set."));
    }
    return dpy;
}

bool x11_connectionLost(Display* dpy) {
    std::lock_guard<std::recursive_mutex> lock(g_lostMtx);
    return g_lost.count(dpy) != 0;
}

void x11_closeDisplay(Display* dpy) {
    if (!dpy) return;
    std::lock_guard<std::recursive_mutex> lock(g_lostMtx);
    XCloseDisplay(dpy);
    g_lost.erase(dpy);
}

void X11Property::reset() {
    if (data) XFree(data);
    data = nullptr;
    type = None;
    format = 0;
    items = 0;
}

unsigned long X11Property::value(unsigned long i) const {
    if (!data || i >= items) return 0;
    // Xlib hands 16- and 32-bit items over as C shorts and longs.
    switch (format) {
    case 32: return reinterpret_cast<const unsigned long*>(data)[i];
    case 16: return reinterpret_cast<const unsigned short*>(data)[i];
    default: return data[i];
    }
}

bool x11_readProperty(Display* dpy, Window w, Atom property, long length, Atom type, X11Property& out) {
    out.reset();
    unsigned long after = 0;
    const int status = XGetWindowProperty(dpy, w, property, 0, length, False, type, &out.type, &out.format,
                                          &out.items, &after, &out.data);
    if (status != Success) out.reset();
    return status == Success && out.data != nullptr;
}

int32_t x11_windowPid(Display* dpy, Window w) {
    const Atom wmPid = XInternAtom(dpy, "_NET_WM_PID", False);
    X11Property p;
    if (!x11_readProperty(dpy, w, wmPid, 1, XA_CARDINAL, p) || p.type != XA_CARDINAL || p.format != 32 ||
        p.items < 1)
        return -1;
    const int32_t pid = int32_t(uint32_t(p.value(0)));
    return pid > 0 ? pid : -1;
}

namespace {

// A format-8 property of type `type` (AnyPropertyType: any) as text without its trailing NULs; empty
// when absent, of another type or of another format.
std::string textProperty(Display* dpy, Window w, Atom property, Atom type) {
    X11Property p;
    if (!x11_readProperty(dpy, w, property, -1, type, p) || p.format != 8 ||
        (type != AnyPropertyType && p.type != type))
        return std::string();
    std::string text(reinterpret_cast<const char*>(p.data), p.items);
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    return text;
}

} // namespace

bool x11_windowTitle(Display* dpy, Window w, std::string& out) {
    const Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);
    out = textProperty(dpy, w, XInternAtom(dpy, "_NET_WM_NAME", False), utf8);
    if (out.empty()) out = textProperty(dpy, w, XA_WM_NAME, AnyPropertyType);
    return !out.empty();
}
