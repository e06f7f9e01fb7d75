#pragma once

// A real KWin session for a test: kwin_wayland on its virtual backend (no screen, no GPU) with XWayland,
// on the test's session bus, where its scripting interface lets a test move the focus. Its seat has a
// keyboard of its own. Run it in the test's private namespaces (usePrivateNamespaces) before any other X
// server of the test: XWayland's display is found as the first X socket that appears.

#include "process.h"

#include <string>
#include <vector>

namespace harness {

class KWin {
  public:
    KWin() = default;
    KWin(const KWin&) = delete;
    KWin& operator=(const KWin&) = delete;
    ~KWin() { stop(); }

    // `env` is the session's: HOME, XDG_RUNTIME_DIR (a private 0700 directory) and the session bus.
    // `startMs` bounds the wait for KWin and its XWayland (longer in an emulated guest).
    bool start(const std::vector<std::string>& env, const std::string& runtimeDir, std::string& error,
               int startMs = 20000);
    void stop(); // XWayland is KWin's child and ends with it

    std::string socketEnv() const { return "WAYLAND_DISPLAY=" + socket_; }
    const std::string& xDisplay() const { return xDisplay_; }
    // Activates the window titled exactly `title` through a KWin script; false when the script could
    // not be run (an unknown title changes nothing).
    bool activate(const std::string& title);

  private:
    Process kwin_;
    std::vector<std::string> env_;
    std::string dir_, socket_ = "wayland-kx-kwin", xDisplay_;
    int scripts_ = 0;
};

} // namespace harness
