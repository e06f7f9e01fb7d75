#include "session_bus.h"

#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace harness {

bool SessionBus::start(std::string& error) {
    stop();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + strerror(errno);
        return false;
    }
    // --nofork: the daemon stays the child this object started and ends by that pid.
    SpawnOptions spawn;
    spawn.env = baseEnv();
    spawn.fds = {{fds[1], 3}};
    const bool started =
        daemon_.start({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=3"}, spawn, &error);
    close(fds[1]);
    const bool announced = started && readLineFrom(fds[0], address_, 10000) && !address_.empty();
    close(fds[0]);
    if (!announced) {
        if (started) error = "dbus-daemon did not announce its address";
        stop();
        return false;
    }
    return true;
}

void SessionBus::stop() {
    daemon_.stop();
    address_.clear();
}

} // namespace harness
