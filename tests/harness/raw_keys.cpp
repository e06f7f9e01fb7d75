#include "raw_keys.h"

#include <chrono>

#include <poll.h>

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

namespace harness {

namespace {
// A test may kill the server under a source; Xlib's default would end the whole process.
void markGone(Display*, void* gone) {
    *static_cast<bool*>(gone) = true;
}
} // namespace

bool RawKeySource::open(const std::string& display, std::string& error) {
    close();
    Display* dpy = XOpenDisplay(display.c_str());
    if (!dpy) {
        error = "cannot open display " + display;
        return false;
    }
    gone_ = false;
    XSetIOErrorExitHandler(dpy, markGone, &gone_);
    int event = 0, errorBase = 0, major = 2, minor = 0;
    if (!XQueryExtension(dpy, "XInputExtension", &opcode_, &event, &errorBase) ||
        XIQueryVersion(dpy, &major, &minor) != Success) {
        XCloseDisplay(dpy);
        error = "the X server has no XInput 2";
        return false;
    }
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawKeyPress);
    XISetMask(bits, XI_RawKeyRelease);
    XIEventMask mask{XIAllMasterDevices, int(sizeof bits), bits};
    XISelectEvents(dpy, DefaultRootWindow(dpy), &mask, 1);
    XSync(dpy, False); // from here on, every key event reaches this connection
    dpy_ = dpy;
    return true;
}

void RawKeySource::close() {
    if (dpy_) XCloseDisplay(static_cast<Display*>(dpy_));
    dpy_ = nullptr;
}

bool RawKeySource::next(RawKey& key, int timeoutMs) {
    Display* dpy = static_cast<Display*>(dpy_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (dpy && !gone_) {
        if (XPending(dpy) == 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd pfd{ConnectionNumber(dpy), POLLIN, 0};
            poll(&pfd, 1, int(left.count()));
            continue;
        }
        XEvent ev;
        XNextEvent(dpy, &ev);
        XGenericEventCookie* cookie = &ev.xcookie;
        if (cookie->type != GenericEvent || cookie->extension != opcode_ || !XGetEventData(dpy, cookie))
            continue;
        const bool isKey = cookie->evtype == XI_RawKeyPress || cookie->evtype == XI_RawKeyRelease;
        if (isKey)
            key = {static_cast<const XIRawEvent*>(cookie->data)->detail, cookie->evtype == XI_RawKeyPress};
        XFreeEventData(dpy, cookie);
        if (isKey) return true;
    }
    return false;
}

bool RawKeyListener::start(const std::string& display, std::string& error) {
    stop();
    events.clear();
    if (!source_.open(display, error)) return false;
    stopping_ = false;
    // From here on the connection is the thread's alone.
    thread_ = std::thread([this] {
        RawKey key{};
        while (!stopping_ && !source_.serverGone())
            if (source_.next(key, 20)) events.push(key);
    });
    return true;
}

void RawKeyListener::stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    source_.close();
}

} // namespace harness
