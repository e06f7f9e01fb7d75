#include "weston.h"

#include <unistd.h>

namespace harness {

bool Weston::start(const std::string& outerDisplay, const std::string& runtimeDir, std::string& error) {
    stop();
    logPath_ = runtimeDir + "/weston.log";
    SpawnOptions spawn;
    spawn.env = baseEnv();
    spawn.env.insert(spawn.env.end(), {"DISPLAY=" + outerDisplay, "XDG_RUNTIME_DIR=" + runtimeDir});
    if (!weston_.start({"weston", "--backend=x11-backend.so", "--use-pixman", "--xwayland",
                        "--socket=" + socket_, "--log=" + logPath_},
                       spawn, &error))
        return false;
    const std::string marker = "xserver listening on display ";
    const bool listening = waitFor(
        [&] {
            const std::string log = readWholeFile(logPath_);
            const size_t at = log.find(marker);
            if (at == std::string::npos) return !weston_.running();
            xDisplay_ = log.substr(at + marker.size());
            xDisplay_ = xDisplay_.substr(0, xDisplay_.find_first_of(" \n"));
            return true;
        },
        15000);
    if (listening && !xDisplay_.empty()) return true;
    error = "weston did not announce XWayland";
    stop();
    return false;
}

void Weston::stop() {
    weston_.stop(); // XWayland is weston's child and ends with it
    xDisplay_.clear();
    if (!logPath_.empty()) unlink(logPath_.c_str());
    logPath_.clear();
}

} // namespace harness
