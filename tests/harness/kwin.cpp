#include "kwin.h"

#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <set>

#include <sys/stat.h>

namespace harness {

namespace {

std::set<std::string> xSockets() {
    std::set<std::string> names;
    if (DIR* dir = opendir("/tmp/.X11-unix")) {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] == 'X') names.insert(entry->d_name);
        closedir(dir);
    }
    return names;
}

// A JavaScript string literal of `text`.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

} // namespace

bool KWin::start(const std::vector<std::string>& env, const std::string& runtimeDir, std::string& error,
                 int startMs) {
    stop();
    env_ = env;
    dir_ = runtimeDir;
    // Debian gives the program a file capability (cap_sys_resource) that a machine may keep out of its
    // bounding set, and the kernel then refuses to execute it at all. A copy carries no capability.
    const std::string program = dir_ + "/kwin_wayland";
    std::error_code copyError;
    std::filesystem::copy_file("/usr/bin/kwin_wayland", program,
                               std::filesystem::copy_options::overwrite_existing, copyError);
    if (copyError) {
        error = "copying kwin_wayland: " + copyError.message();
        return false;
    }
    mkdir("/tmp/.X11-unix", 01777); // XWayland's socket directory; the namespace's fresh /tmp has none
    chmod("/tmp/.X11-unix", 01777);
    const std::set<std::string> before = xSockets();
    SpawnOptions spawn;
    spawn.env = env_;
    spawn.outPath = spawn.errPath = dir_ + "/kwin.log";
    if (!kwin_.start(
            {program, "--virtual", "--xwayland", "--socket", socket_, "--width", "1280", "--height", "720"},
            spawn, &error))
        return false;
    const bool up = waitFor(
        [&] {
            for (const std::string& name : xSockets())
                if (!before.count(name)) xDisplay_ = ":" + name.substr(1);
            return (!xDisplay_.empty() && run({"xdpyinfo"},
                                              [&] {
                                                  std::vector<std::string> e = env_;
                                                  e.push_back("DISPLAY=" + xDisplay_);
                                                  return e;
                                              }())
                                              .ok()) ||
                   !kwin_.running();
        },
        startMs);
    if (!up || !kwin_.running()) {
        error = "kwin_wayland did not come up with XWayland; its log (" + dir_ + "/kwin.log):\n" +
                readWholeFile(dir_ + "/kwin.log");
        stop();
        return false;
    }
    return true;
}

bool KWin::activate(const std::string& title) {
    const std::string name = "kx_activate_" + std::to_string(++scripts_);
    const std::string path = dir_ + "/" + name + ".js";
    std::ofstream(path) << "var cs = workspace.clientList();\n"
                        << "for (var i = 0; i < cs.length; i++)\n"
                        << "    if (cs[i].caption == " << quoted(title)
                        << ") workspace.activeClient = cs[i];\n";
    const auto call = [&](const std::vector<std::string>& tail) {
        std::vector<std::string> argv = {"gdbus",        "call", "--session",  "-d",
                                         "org.kde.KWin", "-o",   "/Scripting", "-m"};
        argv.insert(argv.end(), tail.begin(), tail.end());
        return run(argv, env_);
    };
    return call({"org.kde.kwin.Scripting.loadScript", path, name}).ok() &&
           call({"org.kde.kwin.Scripting.start"}).ok();
}

void KWin::stop() {
    kwin_.stop();
    xDisplay_.clear();
}

} // namespace harness
