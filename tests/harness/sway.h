#pragma once

// A real sway session for a test: sway on its headless backend (no screen, no GPU: pixman renders) with
// XWayland, a keyboard on its seat, PipeWire, and the portal's wlroots backend once a session bus is
// there. sway refuses to run as root, so the whole session runs as an ordinary user; give it a bus of
// that user too (SessionBusOptions::uid). Run it in the test's private namespaces (usePrivateNamespaces):
// XWayland's display number and sockets are then the test's alone.

#include "process.h"

#include <string>
#include <vector>

#include <sys/types.h>

namespace harness {

struct SwayOptions {
    uid_t uid = 65534;      // the session's user; never 0
    std::string runtimeDir; // an existing 0700 directory of that user: the sockets and the logs
    std::string home;       // an existing directory of that user
    // An image the user can read, shown unscaled and centred as the whole output's background, so that a
    // screenshot has known content; empty: a plain colour.
    std::string background;
    std::string resolution = "1280x720";
};

class Sway {
  public:
    Sway() = default;
    Sway(const Sway&) = delete;
    Sway& operator=(const Sway&) = delete;
    ~Sway() { stop(); }

    bool start(const SwayOptions& options, std::string& error);
    // What the session starts at login for the desktop portal's screenshots (the portal itself comes by
    // D-Bus activation): its wlroots backend, on the bus at `busAddress`, which must be that of the
    // session's user and have this session's sessionEnv() in its environment.
    bool startPortalBackend(const std::string& busAddress, std::string& error);
    // Ends exactly what start() and startPortalBackend() started; XWayland and the background program
    // are sway's children and end with it.
    void stop();

    std::string socketEnv() const { return "WAYLAND_DISPLAY=" + socket_; }
    const std::string& xDisplay() const { return xDisplay_; } // XWayland's ":N"
    // What a process of this session gets: HOME, XDG_RUNTIME_DIR, WAYLAND_DISPLAY, DISPLAY,
    // XDG_SESSION_TYPE=wayland, XDG_CURRENT_DESKTOP=sway and baseEnv(); `extra` comes first, so it wins.
    std::vector<std::string> sessionEnv(std::vector<std::string> extra = {}) const;

    // Moves the focus to the window titled exactly `title` (as `swaymsg '[title="T"] focus'`); false when
    // sway knows no such window.
    bool focus(const std::string& title);
    // swaymsg with the session's IPC socket, run as the session's user.
    RunResult msg(const std::vector<std::string>& args);
    // `argv` run to its end as the session's user, in the session's environment plus `extra`.
    RunResult runAsUser(const std::vector<std::string>& argv, const std::vector<std::string>& extra = {});

  private:
    bool spawn(Process& process, const std::vector<std::string>& argv, const std::vector<std::string>& env,
               const std::string& log, std::string& error);

    SwayOptions options_;
    Process pipewire_, sway_, keyboard_, portal_;
    std::string ipcSocket_, socket_, xDisplay_;
};

} // namespace harness
