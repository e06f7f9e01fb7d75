#include "raw_keys.h"

#include <poll.h>

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

namespace harness {

namespace {
// A test may kill the server under the listener; Xlib's default would end the whole test process.
void serverGone(Display*, void* gone) {
    *static_cast<bool*>(gone) = true;
}
} // namespace

bool RawKeyListener::start(const std::string& display, std::string& error) {
    stop();
    stopping_ = false;
    state_ = 0;
    events.clear();
    thread_ = std::thread(&RawKeyListener::run, this, display);
    waitFor([&] { return state_ != 0; }, 15000);
    if (state_ == 1) return true;
    error = state_ == 0 ? "the raw key listener did not start" : error_;
    return false;
}

void RawKeyListener::stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
}

// The connection lives and dies on this thread alone.
void RawKeyListener::run(std::string display) {
    const auto fail = [&](const std::string& why) {
        error_ = why;
        state_ = -1;
    };
    Display* dpy = XOpenDisplay(display.c_str());
    if (!dpy) return fail("cannot open display " + display);
    bool gone = false;
    XSetIOErrorExitHandler(dpy, serverGone, &gone);
    int opcode = 0, event = 0, errorBase = 0, major = 2, minor = 0;
    if (!XQueryExtension(dpy, "XInputExtension", &opcode, &event, &errorBase) ||
        XIQueryVersion(dpy, &major, &minor) != Success) {
        XCloseDisplay(dpy);
        return fail("the X server has no XInput 2");
    }
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawKeyPress);
    XISetMask(bits, XI_RawKeyRelease);
    XIEventMask mask{XIAllMasterDevices, int(sizeof bits), bits};
    XISelectEvents(dpy, DefaultRootWindow(dpy), &mask, 1);
    XSync(dpy, False); // from here on, every key event reaches this connection
    state_ = 1;
    while (!stopping_ && !gone) {
        if (XPending(dpy) == 0) {
            pollfd pfd{ConnectionNumber(dpy), POLLIN, 0};
            poll(&pfd, 1, 20);
            continue;
        }
        XEvent ev;
        XNextEvent(dpy, &ev);
        XGenericEventCookie* cookie = &ev.xcookie;
        if (cookie->type != GenericEvent || cookie->extension != opcode || !XGetEventData(dpy, cookie))
            continue;
        if (cookie->evtype == XI_RawKeyPress || cookie->evtype == XI_RawKeyRelease)
            events.push(
                {static_cast<const XIRawEvent*>(cookie->data)->detail, cookie->evtype == XI_RawKeyPress});
        XFreeEventData(dpy, cookie);
    }
    XCloseDisplay(dpy);
}

} // namespace harness
