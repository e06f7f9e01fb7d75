#include "x_server.h"

#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include <X11/Xlib.h>

namespace harness {

namespace {

constexpr int START_TIMEOUT_MS = 15000;

// openbox announces itself through _NET_SUPPORTING_WM_CHECK once it manages the screen.
bool windowManagerReady(const std::string& display) {
    Display* dpy = XOpenDisplay(display.c_str());
    if (!dpy) return false;
    const Atom check = XInternAtom(dpy, "_NET_SUPPORTING_WM_CHECK", True);
    bool ready = false;
    if (check != None) {
        Atom type = None;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        ready = XGetWindowProperty(dpy, DefaultRootWindow(dpy), check, 0, 1, False, AnyPropertyType, &type, &format,
                                   &items, &after, &data) == Success &&
                items == 1;
        if (data) XFree(data);
    }
    XCloseDisplay(dpy);
    return ready;
}

bool hasTitle(Display* dpy, Window w, const std::string& title) {
    for (const char* name : {"_NET_WM_NAME", "WM_NAME"}) {
        Atom type = None;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        const bool same = XGetWindowProperty(dpy, w, XInternAtom(dpy, name, False), 0, 65536, False, AnyPropertyType,
                                             &type, &format, &items, &after, &data) == Success &&
                          data && format == 8 && std::string(reinterpret_cast<char*>(data), items) == title;
        if (data) XFree(data);
        if (same) return true;
    }
    return false;
}

} // namespace

Window waitForClient(const std::string& display, const std::function<bool(Display*, Window)>& wanted,
                     int timeoutMs) {
    Display* dpy = XOpenDisplay(display.c_str());
    if (!dpy) return 0;
    // A client may go away between the read of the list and the read of its properties.
    const auto previous = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    const Atom clientList = XInternAtom(dpy, "_NET_CLIENT_LIST", False);
    Window found = 0;
    waitFor(
        [&] {
            Atom type = None;
            int format = 0;
            unsigned long items = 0, after = 0;
            unsigned char* data = nullptr;
            if (XGetWindowProperty(dpy, DefaultRootWindow(dpy), clientList, 0, 65536, False, AnyPropertyType, &type,
                                   &format, &items, &after, &data) == Success &&
                data && format == 32)
                for (unsigned long i = 0; i < items && !found; ++i) {
                    const Window w = reinterpret_cast<unsigned long*>(data)[i];
                    if (wanted(dpy, w)) found = w;
                }
            if (data) XFree(data);
            return found != 0;
        },
        timeoutMs);
    XCloseDisplay(dpy);
    XSetErrorHandler(previous);
    return found;
}

Window waitForClient(const std::string& display, const std::string& title, int timeoutMs) {
    return waitForClient(display, [&](Display* dpy, Window w) { return hasTitle(dpy, w, title); }, timeoutMs);
}

bool XServer::start(const XServerOptions& options, std::string& error) {
    stop();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + strerror(errno);
        return false;
    }
    // -noreset: a server that resets when its last client leaves loses its keyboard layout.
    std::vector<std::string> argv = {"Xvfb",   "-displayfd", "3",       "-screen", "0",
                                     options.screen, "-nolisten", "tcp", "-noreset"};
    argv.insert(argv.end(), options.extraArgs.begin(), options.extraArgs.end());
    if (!options.display.empty()) argv.insert(argv.begin() + 1, options.display);
    SpawnOptions spawn;
    spawn.env = baseEnv();
    spawn.fds = {{fds[1], 3}};
    const bool started = server_.start(argv, spawn, &error);
    close(fds[1]);
    std::string number;
    const bool announced = started && readLineFrom(fds[0], number, START_TIMEOUT_MS) && !number.empty();
    close(fds[0]);
    if (!announced) {
        if (started) error = "Xvfb " + options.screen + " did not start";
        server_.stop();
        return false;
    }
    display_ = ":" + number;
    return !options.windowManager || startWindowManager(error);
}

bool XServer::startWindowManager(std::string& error) {
    SpawnOptions spawn;
    spawn.env = clientEnv();
    if (!windowManager_.start({"openbox", "--sm-disable"}, spawn, &error)) return false;
    if (waitFor([&] { return windowManagerReady(display_) || !windowManager_.running(); }, START_TIMEOUT_MS) &&
        windowManager_.running())
        return true;
    error = "openbox did not come up on " + display_;
    windowManager_.stop();
    return false;
}

void XServer::stopWindowManager() {
    windowManager_.stop();
}

void XServer::stop() {
    windowManager_.stop();
    server_.stop();
    display_.clear();
}

void XServer::killServer() {
    server_.kill(SIGKILL);
    server_.wait(START_TIMEOUT_MS);
}

std::vector<std::string> XServer::clientEnv() const {
    std::vector<std::string> env = baseEnv();
    env.push_back(displayEnv());
    return env;
}

RunResult XServer::run(const std::vector<std::string>& argv, int timeoutMs) const {
    return harness::run(argv, clientEnv(), timeoutMs);
}

} // namespace harness
