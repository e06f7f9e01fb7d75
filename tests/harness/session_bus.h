#pragma once

// A private D-Bus session bus for a test, with the machine's activatable services (the accessibility
// bus among them). Services it activates end when it ends.

#include "process.h"

#include <string>
#include <vector>

namespace harness {

struct SessionBusOptions {
    // Added to the daemon's environment, which the services it activates inherit: give them a private
    // HOME and XDG_RUNTIME_DIR, where the accessibility bus puts its socket.
    std::vector<std::string> env;
    // False: a bus that can activate nothing, as on a desktop without the accessibility bus.
    bool activation = true;
    // The bus's user: only that user may connect (0: as is).
    uid_t uid = 0;
};

class SessionBus {
  public:
    SessionBus() = default;
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;
    ~SessionBus() { stop(); }

    bool start(std::string& error, const SessionBusOptions& options = {});
    void stop();

    const std::string& address() const { return address_; }
    std::string addressEnv() const { return "DBUS_SESSION_BUS_ADDRESS=" + address_; }
    pid_t pid() const { return daemon_.pid(); }

  private:
    Process daemon_;
    std::string address_;
    std::string configPath_;
};

} // namespace harness
