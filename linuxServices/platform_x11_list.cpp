// The open applications as the window manager announces them in _NET_CLIENT_LIST. Every call asks the
// server afresh over a connection of its own.
#include "platform_common.h"
#include "platform_x11.h"
#include "x11_display.h"

#include <cstdlib>

#include <X11/Xatom.h>

void getOpenApplicationsX11(std::vector<nlohmann::json>& outVec) {
    const char* display = std::getenv("DISPLAY");
    // Without DISPLAY there is no X server to ask (a Wayland session without XWayland): no line.
    if (!display || !*display) return;
    Display* dpy = x11_openDisplayFor("Cannot list the X11 windows");
    if (!dpy) return;
    const Atom clientList = XInternAtom(dpy, "_NET_CLIENT_LIST", True);
    X11Property clients;
    if (clientList != None && x11_readProperty(dpy, DefaultRootWindow(dpy), clientList, -1, XA_WINDOW, clients)) {
        for (unsigned long i = 0; i < clients.items && !x11_connectionLost(dpy); ++i) {
            const Window w = clients.value(i);
            std::string title;
            if (!x11_windowTitle(dpy, w, title)) continue;
            const int32_t pid = x11_windowPid(dpy, w);
            const std::string path = pid > 0 ? procExe(pid) : std::string();
            if (path.empty()) continue;
            outVec.push_back({{"title", title}, {"processpath", path}, {"platform", "x11"}});
        }
    }
    x11_closeDisplay(dpy);
}
