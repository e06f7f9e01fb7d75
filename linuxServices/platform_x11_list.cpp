// The open applications as the window manager announces them in _NET_CLIENT_LIST. Every call asks the
// server afresh over a connection of its own.
#include "platform_common.h"
#include "platform_x11.h"
#include "x11_display.h"

#include <cstdlib>
#include <cstring>

#include <X11/Xatom.h>
#include <X11/Xutil.h>

namespace {

bool getUtf8WindowName(Display* dpy, Window w, std::string& out) {
    // Xlib caches interned atoms per connection: only the first window costs a round trip.
    const Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);
    const Atom netWmName = XInternAtom(dpy, "_NET_WM_NAME", False);
    X11Property p;
    // A _NET_WM_NAME of another type (tools write STRING) reads as no items; WM_NAME names such a
    // window instead of leaving it out with an empty name.
    if (x11_readProperty(dpy, w, netWmName, -1, utf8, p) && p.type == utf8) {
        out.assign(reinterpret_cast<const char*>(p.data), p.items);
        return !out.empty();
    }
    XTextProperty text{};
    if (XGetWMName(dpy, w, &text) && text.value) {
        const size_t bytes = size_t(text.nitems) * size_t(text.format / 8);
        out.assign(reinterpret_cast<const char*>(text.value), strnlen(reinterpret_cast<char*>(text.value), bytes));
        XFree(text.value);
        return !out.empty();
    }
    return false;
}

} // namespace

void getOpenApplicationsX11(std::vector<nlohmann::json>& outVec) {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return;
    Display* dpy = x11_openDisplay();
    if (!dpy) return;
    const Atom clientList = XInternAtom(dpy, "_NET_CLIENT_LIST", True);
    X11Property clients;
    if (clientList != None && x11_readProperty(dpy, DefaultRootWindow(dpy), clientList, -1, XA_WINDOW, clients)) {
        const Atom wmPid = XInternAtom(dpy, "_NET_WM_PID", False);
        X11Property p;
        for (unsigned long i = 0; i < clients.items && !x11_connectionLost(dpy); ++i) {
            const Window w = clients.value(i);
            std::string title;
            if (!getUtf8WindowName(dpy, w, title)) continue;
            const int32_t pid = x11_readProperty(dpy, w, wmPid, 1, XA_CARDINAL, p) && p.items == 1
                                    ? int32_t(uint32_t(p.value(0)))
                                    : -1;
            const std::string path = pid > 0 ? procExe(pid) : std::string();
            if (path.empty()) continue;
            outVec.push_back({{"title", title}, {"processpath", path}, {"platform", "x11"}});
        }
    }
    x11_closeDisplay(dpy);
}
