// The active-window monitor, one loop for the X11 session and for XWayland under Wayland.
//
// It samples the active window, its process and its title, and reports a sample that differs from the
// last one. Sampling happens every 200 ms and, in between, once the server's announcements of changes
// of _NET_ACTIVE_WINDOW on the root or of the active window's title have paused for 5 ms, so that a
// change is seen within milliseconds instead of half a poll on average. The poll stays: it catches
// what no event announces.
#include "platform_common.h"
#include "platform_x11.h"
#include "tools_report_app_change.h"
#include "x11_display.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include <poll.h>

namespace {

constexpr int POLL_MS = 200;
constexpr int SETTLE_MS = 5;
constexpr int REOPEN_MS = 2000;

const char NO_ACTIVE_WINDOW[] = "Application changed: No active window detected, full wayland applications "
                                "cannot be read unfortunately by x11-only execution.";

// Looked up only if they exist: a name nobody interned cannot be set on any window. These are the
// names whose changes wake the loop; the window's own properties are read by x11_windowPid and
// x11_windowTitle.
struct FocusAtoms {
    Atom activeWindow = None, netWmName = None, wmName = None;
    bool complete() const { return activeWindow && netWmName && wmName; }
};

FocusAtoms lookUpAtoms(Display* dpy) {
    char* names[] = {const_cast<char*>("_NET_ACTIVE_WINDOW"), const_cast<char*>("_NET_WM_NAME"),
                     const_cast<char*>("WM_NAME")};
    Atom atoms[3] = {None, None, None};
    XInternAtoms(dpy, names, 3, True, atoms);
    FocusAtoms a;
    a.activeWindow = atoms[0];
    a.netWmName = atoms[1];
    a.wmName = atoms[2];
    return a;
}

struct Sample {
    Window active = 0;
    int32_t pid = -1;
    std::string title;
    std::string procName;
    bool operator!=(const Sample& o) const {
        return active != o.active || pid != o.pid || title != o.title || procName != o.procName;
    }
};

// The kernel's short name, or when that yields nothing the first word of the command line.
std::string processName(long pid) {
    std::string name = procComm(pid);
    if (name.empty()) {
        std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
        if (cmdline.good()) std::getline(cmdline, name, '\0');
    }
    return name;
}

// `watched` is the window whose title changes wake the loop; it follows the active window, and moves
// before the title is read so that no change between the read and the selection goes unannounced.
Sample takeSample(Display* dpy, Window root, const FocusAtoms& a, Window& watched) {
    Sample s;
    X11Property p;
    if (a.activeWindow && x11_readProperty(dpy, root, a.activeWindow, 1, AnyPropertyType, p) && p.items >= 1)
        s.active = p.value(0);
    // The root's own selection is what wakes the loop on a new active window; a property that names
    // the root as active must not take it away.
    if (s.active != watched) {
        if (watched && watched != root) XSelectInput(dpy, watched, NoEventMask);
        if (s.active && s.active != root) XSelectInput(dpy, s.active, PropertyChangeMask);
        watched = s.active;
    }
    if (!s.active) return s;
    s.pid = x11_windowPid(dpy, s.active);
    x11_windowTitle(dpy, s.active, s.title);
    if (s.pid > 0) s.procName = processName(s.pid);
    return s;
}

// Waits up to POLL_MS for a property change that can alter the sample; the events are only a hint to
// sample early. A focus change is often two changes (the old window loses the focus, leaving none
// active, then the new one gains it), so the sample is taken once no change has come for SETTLE_MS
// rather than on the first one. The poll's deadline stays: a window that retitles itself without
// pause (a progress counter) cannot hold the sample back past it.
void waitForChange(Display* dpy, Window root, Window watched, FocusAtoms& atoms) {
    using Clock = std::chrono::steady_clock;
    const auto pollDeadline = Clock::now() + std::chrono::milliseconds(POLL_MS);
    auto deadline = pollDeadline;
    for (;;) {
        bool wake = false;
        while (!x11_connectionLost(dpy) && XPending(dpy) > 0) {
            XEvent ev;
            XNextEvent(dpy, &ev);
            if (ev.type != PropertyNotify) continue;
            const XPropertyEvent& e = ev.xproperty;
            if (e.window == root && !atoms.complete()) {
                // A window manager that came up after the connection: its names exist now.
                atoms = lookUpAtoms(dpy);
                wake = true;
            } else if (e.window == root) {
                wake = wake || e.atom == atoms.activeWindow;
            } else if (e.window == watched) {
                wake = wake || e.atom == atoms.netWmName || e.atom == atoms.wmName;
            }
        }
        if (x11_connectionLost(dpy)) return;
        if (wake) deadline = std::min(pollDeadline, Clock::now() + std::chrono::milliseconds(SETTLE_MS));
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return;
        pollfd pfd{ConnectionNumber(dpy), POLLIN, 0};
        poll(&pfd, 1, int(left));
    }
}

// Follows the active window on one connection until its server goes away.
void followOn(Display* dpy, bool fromX11, bool announceNoWindow) {
    const Window root = DefaultRootWindow(dpy);
    FocusAtoms atoms = lookUpAtoms(dpy);
    XSelectInput(dpy, root, PropertyChangeMask);
    Sample last;
    Window watched = 0;
    while (!x11_connectionLost(dpy)) {
        Sample now = takeSample(dpy, root, atoms, watched);
        // A sample cut short by the server's end would read as a change to no window or no title.
        if (x11_connectionLost(dpy)) break;
        if (now != last) {
            last = now;
            if (!now.active) {
                if (announceNoWindow) logOut(NO_ACTIVE_WINDOW);
            } else {
                // A window without a usable pid (-1) is dropped there.
                reportApplicationChange(now.pid, now.procName, now.title, fromX11);
            }
        }
        waitForChange(dpy, root, watched, atoms);
    }
}

// Opens the display, trying again every REOPEN_MS after a server that does not answer, and after any
// failure when `anyFailure`.
Display* openRetrying(bool anyFailure) {
    bool unanswered = false;
    Display* dpy = nullptr;
    while (!(dpy = x11_openDisplay(&unanswered)) && (anyFailure || unanswered))
        std::this_thread::sleep_for(std::chrono::milliseconds(REOPEN_MS));
    return dpy;
}

} // namespace

void x11_followActiveWindow(bool fromX11, bool announceNoWindow) {
    // A server that is there but slow to answer (an XWayland still starting) is waited for: only one
    // that cannot be opened ends the monitor.
    Display* dpy = openRetrying(false);
    if (!dpy) {
        logErr("Unable to track application focus changes. Could not open X display.");
        return;
    }
    const char* name = std::getenv("DISPLAY");
    const std::string display = printable(name ? name : "");
    for (;;) {
        followOn(dpy, fromX11, announceNoWindow);
        x11_closeDisplay(dpy);
        // Some compositors start and stop XWayland on demand, and an X server may be restarted: the
        // monitor follows whichever server serves the display next, without a restart of its own.
        logErr("[x11] Lost the X display " + display + "; following focus again once it can be opened "
               "(tried every 2 seconds).");
        dpy = openRetrying(true);
        logOut("[x11] X display " + display + " opened again; following focus changes.");
    }
}

void x11_monitorFocusChanges() {
    x11_followActiveWindow(false, true);
}
