#include "sway.h"

#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

namespace harness {

namespace {

// swaymsg's criteria are regular expressions: a title matches only itself.
std::string exactly(const std::string& title) {
    std::string pattern = "^";
    for (const char c : title) {
        if (std::string("\\^$.|?*+()[]{}\"").find(c) != std::string::npos) pattern += '\\';
        pattern += c;
    }
    return pattern + "$";
}

std::vector<std::string> withoutHome(std::vector<std::string> env) {
    std::vector<std::string> kept;
    for (std::string& var : env)
        if (var.rfind("HOME=", 0) != 0) kept.push_back(std::move(var));
    return kept;
}

} // namespace

std::vector<std::string> Sway::sessionEnv(std::vector<std::string> extra) const {
    extra.insert(extra.end(), {"HOME=" + options_.home, "XDG_RUNTIME_DIR=" + options_.runtimeDir,
                               "XDG_SESSION_TYPE=wayland", "XDG_CURRENT_DESKTOP=sway"});
    if (!socket_.empty()) extra.push_back(socketEnv());
    if (!xDisplay_.empty()) extra.push_back("DISPLAY=" + xDisplay_);
    for (std::string& var : withoutHome(baseEnv()))
        extra.push_back(std::move(var));
    return extra;
}

bool Sway::spawn(Process& process, const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 const std::string& log, std::string& error) {
    SpawnOptions spawn;
    spawn.env = env;
    spawn.uid = options_.uid;
    spawn.outPath = spawn.errPath = options_.runtimeDir + "/" + log;
    return process.start(argv, spawn, &error);
}

RunResult Sway::runAsUser(const std::vector<std::string>& argv, const std::vector<std::string>& extra) {
    const std::string id = std::to_string(options_.uid);
    std::vector<std::string> command = {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"};
    command.insert(command.end(), argv.begin(), argv.end());
    return run(command, sessionEnv(extra));
}

RunResult Sway::msg(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"swaymsg", "-s", ipcSocket_};
    argv.insert(argv.end(), args.begin(), args.end());
    return runAsUser(argv);
}

bool Sway::focus(const std::string& title) {
    const RunResult result = msg({"[title=\"" + exactly(title) + "\"] focus"});
    return result.ok() && result.out.find("\"success\": true") != std::string::npos;
}

bool Sway::start(const SwayOptions& options, std::string& error) {
    stop();
    options_ = options;
    if (options_.uid == 0) {
        error = "sway refuses to run as root";
        return false;
    }
    // XWayland's socket directory; the namespace's fresh /tmp has none.
    mkdir("/tmp/.X11-unix", 01777);
    chmod("/tmp/.X11-unix", 01777);
    const std::string& dir = options_.runtimeDir;
    const std::string config = dir + "/sway.conf";
    std::ofstream(config) << "xwayland enable\n"
                          << "output * resolution " << options_.resolution << " bg "
                          << (options_.background.empty() ? "#204060 solid_color" : options_.background + " center")
                          << "\n";
    // No devices of the machine: the headless backend, and no libinput.
    std::vector<std::string> env = sessionEnv({"WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1",
                                               "WLR_RENDERER=pixman"});
    const auto fail = [&](const std::string& why) {
        error = why;
        stop();
        return false;
    };

    // The portal's wlroots backend gives up at start without a PipeWire daemon to connect to.
    if (!spawn(pipewire_, {"pipewire"}, env, "pipewire.log", error)) return fail(error);
    if (!waitFor([&] { return access((dir + "/pipewire-0").c_str(), F_OK) == 0 || !pipewire_.running(); }, 10000) ||
        !pipewire_.running())
        return fail("pipewire did not come up; its log: " + dir + "/pipewire.log");

    if (!spawn(sway_, {"sway", "-c", config}, env, "sway.log", error)) return fail(error);
    ipcSocket_ = dir + "/sway-ipc." + std::to_string(options_.uid) + "." + std::to_string(sway_.pid()) + ".sock";
    if (!waitFor([&] { return (access(ipcSocket_.c_str(), F_OK) == 0 && msg({"-t", "get_version"}).ok()) ||
                              !sway_.running(); },
                 15000) ||
        !sway_.running())
        return fail("sway did not come up; its log: " + dir + "/sway.log");

    // sway names its Wayland socket and XWayland's display itself: ask a child of its own.
    const std::string names = dir + "/sway.names";
    if (!msg({"exec", "printenv WAYLAND_DISPLAY DISPLAY > " + names + ".part && mv " + names + ".part " + names})
             .ok() ||
        !waitFor([&] { return access(names.c_str(), F_OK) == 0; }, 10000))
        return fail("sway did not run a command");
    std::ifstream file(names);
    std::getline(file, socket_);
    std::getline(file, xDisplay_);
    if (socket_.empty() || xDisplay_.empty()) return fail("sway offers no Wayland socket or no XWayland");

    // The headless backend has no input devices: without a keyboard on the seat, Wayland clients never
    // hear that they have the focus (GTK's windows stay inactive). A virtual keyboard that sleeps for
    // the session's length is one.
    if (!spawn(keyboard_, {"wtype", "-s", "86400000"}, sessionEnv(), "keyboard.log", error)) return fail(error);
    if (!waitFor([&] { return msg({"-t", "get_seats"}).out.find("\"keyboard\"") != std::string::npos ||
                              !keyboard_.running(); },
                 10000) ||
        !keyboard_.running())
        return fail("no keyboard on sway's seat; its log: " + dir + "/keyboard.log");
    return true;
}

bool Sway::startPortalBackend(const std::string& busAddress, std::string& error) {
    const std::string name = "org.freedesktop.impl.portal.desktop.wlr";
    const std::string bus = "DBUS_SESSION_BUS_ADDRESS=" + busAddress;
    if (!spawn(portal_, {"/usr/libexec/xdg-desktop-portal-wlr"}, sessionEnv({bus}), "portal-wlr.log", error))
        return false;
    const bool owned = waitFor(
        [&] {
            return runAsUser({"gdbus", "call", "--session", "-d", "org.freedesktop.DBus", "-o", "/org/freedesktop/DBus",
                              "-m", "org.freedesktop.DBus.NameHasOwner", name},
                             {bus})
                       .out == "(true,)\n" ||
                   !portal_.running();
        },
        10000);
    // Started by D-Bus activation, version 0.7 may take in the portal's first call during its own
    // start-up and leave it unanswered until another call comes, 25 s later. Started before the portal,
    // it is waiting by then; the ping shows that it answers.
    if (!owned || !portal_.running() ||
        !runAsUser({"gdbus", "call", "--session", "--timeout", "5", "-d", name, "-o", "/org/freedesktop/portal/desktop",
                    "-m", "org.freedesktop.DBus.Peer.Ping"},
                   {bus})
             .ok()) {
        error = "the portal's wlroots backend did not come up; its log: " + options_.runtimeDir + "/portal-wlr.log";
        portal_.stop();
        return false;
    }
    return true;
}

void Sway::stop() {
    portal_.stop();
    keyboard_.stop();
    sway_.stop();
    pipewire_.stop();
    ipcSocket_.clear();
    socket_.clear();
    xDisplay_.clear();
}

} // namespace harness
