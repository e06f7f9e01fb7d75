#include "x_server.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
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

XStopReadingProxy::~XStopReadingProxy() {
    if (thread_.joinable()) {
        const char quit = 'q';
        if (write(wake_[1], &quit, 1) == 1)
            thread_.join();
        else
            thread_.detach();
    }
    for (int fd : {listener_, wake_[0], wake_[1]})
        if (fd >= 0) close(fd);
}

bool XStopReadingProxy::start(const std::string& serverDisplay, std::string& error) {
    server_ = "/tmp/.X11-unix/X" + serverDisplay.substr(1);
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // An abstract name, which Xlib tries first; the namespace's numbers are the test's own.
    for (int n = 50; listener_ >= 0 && n < 100 && display_.empty(); ++n) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string name = "/tmp/.X11-unix/X" + std::to_string(n);
        memcpy(address.sun_path + 1, name.data(), name.size());
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address),
                 socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size())) == 0)
            display_ = ":" + std::to_string(n);
    }
    if (display_.empty() || listen(listener_, 16) != 0 || pipe2(wake_, O_CLOEXEC) != 0) {
        error = std::string("the proxy cannot listen: ") + strerror(errno);
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void XStopReadingProxy::stopReading() {
    const char stop = 's';
    if (write(wake_[1], &stop, 1) != 1) perror("proxy");
}

void XStopReadingProxy::run() {
    struct Link {
        int client, server;
    };
    std::vector<Link> links;
    bool stopped = false;
    const auto relay = [](int from, int to) {
        char buffer[65536];
        const ssize_t n = read(from, buffer, sizeof buffer);
        for (ssize_t done = 0; n > 0 && done < n;) {
            const ssize_t m = write(to, buffer + done, size_t(n - done));
            if (m <= 0) return false;
            done += m;
        }
        return n > 0;
    };
    for (;;) {
        std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
        // A client whose reading side is shut reads as ended; only the server's side is followed then.
        for (const Link& link : links)
            fds.insert(fds.end(), {{link.server, POLLIN, 0}, {stopped ? -1 : link.client, POLLIN, 0}});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents) {
            char command = 'q';
            if (read(wake_[0], &command, 1) != 1 || command == 'q') break;
            stopped = true;
            for (const Link& link : links)
                shutdown(link.client, SHUT_RD);
        }
        for (size_t i = 0; i < links.size(); ++i) {
            Link& link = links[i];
            const bool ended = ((fds[2 + 2 * i].revents && !relay(link.server, link.client)) ||
                                (fds[3 + 2 * i].revents && !relay(link.client, link.server)));
            if (ended) {
                close(link.client);
                close(link.server);
                link.client = link.server = -1;
            }
        }
        links.erase(std::remove_if(links.begin(), links.end(), [](const Link& l) { return l.client < 0; }),
                    links.end());
        if (fds[1].revents & POLLIN) {
            const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            const int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            memcpy(address.sun_path, server_.c_str(), server_.size());
            if (!stopped && client >= 0 && server >= 0 &&
                connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                links.push_back({client, server});
            } else {
                for (int fd : {client, server})
                    if (fd >= 0) close(fd);
            }
        }
    }
    for (const Link& link : links) {
        close(link.client);
        close(link.server);
    }
}

} // namespace harness
