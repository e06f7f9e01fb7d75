#pragma once

// What the tests of the real Wayland desktops (sway, KWin) share: the service run as a client of the
// desktop's session, and one focus walk through native and XWayland windows that each desktop moves in
// its own way.

#include "service_harness.h"

#include <string>
#include <vector>

namespace it {

class DesktopSessionTest : public ServiceTest {
  protected:
    // The environment of the session's processes, `extra` first.
    virtual std::vector<std::string> env(std::vector<std::string> extra = {}) const = 0;
    // Moves the desktop's focus to the window titled exactly `title`.
    virtual bool focus(const std::string& title) = 0;

    // Runs a client of the session as its user.
    void startClient(harness::Process& p, const std::vector<std::string>& argv, std::vector<std::string> extra,
                     const std::string& outPath = "");
    // The next report; an empty object (and a failure naming `expected`) when none comes.
    nlohmann::json nextReport(const std::string& expected);

    // With the service connected: two GTK windows on Wayland (reported from the accessibility bus) and an
    // xterm on XWayland (from XWayland), each reported as the desktop gives it the focus, XWayland quiet
    // while a native window has it; then the list: the user's processes and XWayland's windows.
    void focusWalksNativeAndXWaylandWindows();

    uid_t user = 0; // the session's
};

} // namespace it
