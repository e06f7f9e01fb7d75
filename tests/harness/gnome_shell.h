#pragma once

// The real GNOME Shell for a test: headless, with a virtual monitor, XWayland, its own system and
// session buses (so the real accessibility bus, screenshot service and portal), started by
// gnome_session.sh in the caller's private mount and network namespace (see usePrivateNamespaces).
// Start-up takes a second or two: share one shell among the checks of a group.

#include "script_process.h"

#include <string>
#include <vector>

#include <sys/types.h>

namespace harness {

struct GnomeShellOptions {
    // False: the shell's ordinary access rules (ScreenshotArea refused to other programs). The shell
    // still starts in unsafe mode and leaves it at once, keeping Eval open for the harness alone.
    bool unsafeMode = true;
    std::string monitor = "1920x1080";
    // A keyboard on the seat, held by a remote-desktop session: without one, native Wayland clients
    // never learn that they got the focus. The shell shows a sharing indicator while it is held.
    bool keyboard = true;
    std::vector<std::string> env; // added to the environment of every process of the session
};

class GnomeShell {
  public:
    GnomeShell() = default;
    GnomeShell(const GnomeShell&) = delete;
    GnomeShell& operator=(const GnomeShell&) = delete;
    ~GnomeShell() { stop(); }

    bool start(const GnomeShellOptions& options, std::string& error);
    // Ends exactly what start() started (the session script ends its own children by pid).
    void stop();

    // What a process of this GNOME session gets: XDG_SESSION_TYPE=wayland, WAYLAND_DISPLAY, DISPLAY,
    // XAUTHORITY, DBUS_SESSION_BUS_ADDRESS, XDG_RUNTIME_DIR, HOME, XDG_CURRENT_DESKTOP=GNOME, the
    // options' env and baseEnv(); `extra` wins.
    std::vector<std::string> sessionEnv(std::vector<std::string> extra = {}) const;

    // org.gnome.Shell.Eval; `result` gets the JSON text of the value (or the exception's text).
    bool eval(const std::string& js, std::string* result = nullptr);
    // Main.activateWindow on the window titled exactly so, waiting a while for it to appear.
    bool activateWindow(const std::string& title);
    // The permission store's screenshot entry for programs outside a sandbox: "yes" or "no", what a
    // desktop stores once its user has answered the portal's question.
    bool setPortalPermission(const std::string& value);
    // Unsafe mode switched at run time: off, the shell's D-Bus services apply their access rules again
    // (ScreenshotArea answers AccessDenied) while Eval stays usable for the harness.
    bool setUnsafeMode(bool on);
    // Presses or releases a keysym on the remote-desktop keyboard (needs options.keyboard).
    bool typeKeysym(unsigned keysym, bool pressed);
    // The process that owns `name` on the session bus; -1 when none does.
    pid_t busNameOwner(const std::string& name);

    // The end of the shell's log (mutter's and XWayland's lines too), for a failure's message.
    std::string logTail() const;
    pid_t pid() const { return shellPid_; } // the gnome-shell process
    const std::string& home() const { return home_; }
    const std::string& xDisplay() const { return xDisplay_; }

  private:
    bool startOnce(const GnomeShellOptions& options, std::string& error);
    // Sends one command to the control helper and waits for its answer; false on failure or timeout.
    bool control(const std::string& command, std::string* text);

    ScriptProcess session_;
    ScriptProcess control_;
    std::string dir_;
    std::string home_;
    std::string xDisplay_;
    std::vector<std::string> env_; // the session's variables, then the options' env
    pid_t shellPid_ = -1;
};

} // namespace harness
