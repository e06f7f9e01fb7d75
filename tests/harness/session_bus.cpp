#include "session_bus.h"

#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace harness {

namespace {
// The session bus's rules without its service directories.
const char BARE_CONFIG[] = R"(<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>
<allow own="*"/></policy></busconfig>)";
} // namespace

bool SessionBus::start(std::string& error, const SessionBusOptions& options) {
    stop();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + strerror(errno);
        return false;
    }
    // --nofork: the daemon stays the child this object started and ends by that pid.
    SpawnOptions spawn;
    spawn.env = baseEnv();
    spawn.env.insert(spawn.env.end(), options.env.begin(), options.env.end());
    spawn.fds = {{fds[1], 3}};
    spawn.uid = options.uid;
    std::vector<std::string> argv = {"dbus-daemon", "--session", "--nofork", "--nopidfile",
                                     "--print-address=3"};
    if (!options.activation) {
        char config[] = "/tmp/kx-bus-XXXXXX";
        const int fd = mkstemp(config);
        if (fd >= 0) fchmod(fd, 0644); // readable by the bus's user
        const bool written =
            fd >= 0 && write(fd, BARE_CONFIG, sizeof BARE_CONFIG - 1) == ssize_t(sizeof BARE_CONFIG - 1);
        if (fd >= 0) close(fd);
        if (!written) {
            error = std::string("writing the bus configuration: ") + strerror(errno);
            close(fds[0]);
            close(fds[1]);
            return false;
        }
        configPath_ = config;
        argv[1] = "--config-file=" + configPath_;
    }
    const bool started = daemon_.start(argv, spawn, &error);
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
    if (!configPath_.empty()) unlink(configPath_.c_str());
    configPath_.clear();
}

} // namespace harness
