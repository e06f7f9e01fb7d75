#pragma once

// A real Wayland compositor for a test: weston nested in an X server of the test (its window there is
// the output, and the outer server's keyboard is its seat), with XWayland for X11 clients.

#include "process.h"

#include <string>
#include <vector>

namespace harness {

class Weston {
  public:
    Weston() = default;
    Weston(const Weston&) = delete;
    Weston& operator=(const Weston&) = delete;
    ~Weston() { stop(); }

    // `outerDisplay` is the X server to nest in; `runtimeDir` a private 0700 directory for the sockets.
    bool start(const std::string& outerDisplay, const std::string& runtimeDir, std::string& error);
    void stop();

    std::string socketEnv() const { return "WAYLAND_DISPLAY=" + socket_; }
    // XWayland's display (":N"); its server starts with the first X client.
    const std::string& xDisplay() const { return xDisplay_; }

  private:
    Process weston_;
    std::string socket_ = "wayland-kx-test";
    std::string xDisplay_;
    std::string logPath_;
};

} // namespace harness
