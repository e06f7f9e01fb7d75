// Which processes are X11 clients of XWayland. A GTK or Qt window shown through XWayland is accessible
// too, so one activation reaches both focus monitors; the XWayland monitor is the one that speaks for
// X11 applications, and the accessibility monitor leaves their windows to it.
//
// Asked on every activation the accessibility monitor is about to report, so it must cost little and
// must not wait for the XWayland monitor's next sample: the window manager lists a window among its
// clients when it manages it, before it can become active, so the client list read at the moment of
// the activation already holds it. A window's process never changes, so each window's _NET_WM_PID is
// read once.
#include "platform_wayland.h"
#include "x11_display.h"

#include <chrono>
#include <cstdlib>
#include <unordered_map>

#include <X11/Xatom.h>

namespace {

using Clock = std::chrono::steady_clock;

// A lost or absent XWayland is tried again at this pace, as the XWayland monitor does.
constexpr auto REOPEN_INTERVAL = std::chrono::seconds(2);

// Touched only by the accessibility monitor's thread; the connection is that thread's own.
struct XClients {
    Display* dpy = nullptr;
    Atom clientList = None, activeWindow = None;
    Clock::time_point nextTry{};
    std::unordered_map<Window, int32_t> pidOf;
} g_xclients;

bool connect(XClients& c) {
    if (c.dpy && !x11_connectionLost(c.dpy)) return true;
    if (c.dpy) {
        x11_closeDisplay(c.dpy);
        c.dpy = nullptr;
        c.pidOf.clear();
    }
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display || Clock::now() < c.nextTry) return false;
    c.nextTry = Clock::now() + REOPEN_INTERVAL;
    c.dpy = x11_openDisplay();
    if (!c.dpy) return false;
    // Created if missing: a window manager that comes up later sets these very atoms.
    c.clientList = XInternAtom(c.dpy, "_NET_CLIENT_LIST", False);
    c.activeWindow = XInternAtom(c.dpy, "_NET_ACTIVE_WINDOW", False);
    return true;
}

int32_t cachedPid(XClients& c, Window w) {
    const auto found = c.pidOf.find(w);
    if (found != c.pidOf.end()) return found->second;
    const int32_t pid = x11_windowPid(c.dpy, w);
    c.pidOf.emplace(w, pid);
    return pid;
}

} // namespace

bool wayland_isXWaylandClient(int pid) {
    XClients& c = g_xclients;
    if (pid <= 0 || !connect(c)) return false;
    const Window root = DefaultRootWindow(c.dpy);
    X11Property clients, active;
    x11_readProperty(c.dpy, root, c.clientList, -1, XA_WINDOW, clients);
    // Some window managers (weston's) keep only the active window, not the client list.
    x11_readProperty(c.dpy, root, c.activeWindow, 1, XA_WINDOW, active);
    if (x11_connectionLost(c.dpy)) return false;

    std::unordered_map<Window, int32_t> listed;
    bool client = false;
    const auto check = [&](Window w) {
        if (!w || listed.count(w)) return;
        const int32_t owner = cachedPid(c, w);
        listed.emplace(w, owner);
        client = client || owner == pid;
    };
    for (unsigned long i = 0; i < clients.items; ++i)
        check(clients.value(i));
    if (active.items >= 1) check(active.value(0));
    // Windows that left the list are forgotten: their ids may be given to new windows.
    c.pidOf.swap(listed);
    return client;
}
