#pragma once

// A private X server for a test: Xvfb on a display number it picks itself, optionally with openbox
// as the EWMH window manager. Start it inside the test's own mount and network namespaces, so that its
// sockets (the one in /tmp/.X11-unix and the abstract one) are the test's alone.

#include "process.h"

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <X11/Xlib.h>

namespace harness {

// A window is mapped, and found by xdotool or xwininfo, a moment before the window manager manages it:
// what needs the window manager (activation, _NET_CLIENT_LIST) waits for it to list the window among
// its clients. The first client of `display` that `wanted` accepts, or 0 after timeoutMs.
Window waitForClient(const std::string& display, const std::function<bool(Display*, Window)>& wanted,
                     int timeoutMs = 15000);
// The client whose _NET_WM_NAME or WM_NAME is exactly `title`.
Window waitForClient(const std::string& display, const std::string& title, int timeoutMs = 15000);

struct XServerOptions {
    std::string screen = "1920x1080x24"; // WIDTHxHEIGHTxDEPTH
    bool windowManager = true;
    std::vector<std::string> extraArgs;  // e.g. {"-extension", "XTEST"}
    std::string display;                 // ":N" to serve that display again; empty: a free one
};

class XServer {
  public:
    XServer() = default;
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;
    ~XServer() { stop(); }

    // Starts the server and, when asked, the window manager; returns once both serve. False with the
    // reason in `error` otherwise (nothing started stays running).
    bool start(const XServerOptions& options, std::string& error);
    bool startWindowManager(std::string& error);
    void stopWindowManager();
    // The window manager, then the server; each by its pid.
    void stop();
    // Ends the server at once (SIGKILL), as a crash would; the window manager is left to notice.
    void killServer();

    const std::string& display() const { return display_; } // ":N"
    std::string displayEnv() const { return "DISPLAY=" + display_; }
    // baseEnv() plus DISPLAY: what an X client of this server needs.
    std::vector<std::string> clientEnv() const;
    pid_t serverPid() const { return server_.pid(); }

    // Runs an X client (xdotool, xprop, setxkbmap...) against this server to its end.
    RunResult run(const std::vector<std::string>& argv, int timeoutMs = 20000) const;

  private:
    Process server_;
    Process windowManager_;
    std::string display_;
};

// A stand-in for a server that stops reading its clients, the moment a real one shows only by chance
// (it goes away between a client's poll and its write): connections to display() pass through to a
// real server until stopReading(), which shuts the reading side of every client's socket while what
// the server sends still arrives; new connections are closed at once from then on.
class XStopReadingProxy {
  public:
    XStopReadingProxy() = default;
    XStopReadingProxy(const XStopReadingProxy&) = delete;
    XStopReadingProxy& operator=(const XStopReadingProxy&) = delete;
    ~XStopReadingProxy();

    bool start(const std::string& serverDisplay, std::string& error);
    void stopReading();
    const std::string& display() const { return display_; }

  private:
    void run();
    int listener_ = -1, wake_[2] = {-1, -1};
    std::string server_, display_;
    std::thread thread_;
};

} // namespace harness
