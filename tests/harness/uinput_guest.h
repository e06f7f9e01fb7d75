#pragma once

// A real kernel with uinput for tests on a host that has none: the guest of guest.sh (Debian's own
// kernel under qemu, sharing the host's root read-only beneath a writable overlay, so that the host's
// binaries run in it unchanged), with the uinput and evdev modules loaded.

#include <string>

namespace harness {

struct GuestRun {
    int status = -1;    // exit status of the command; -1 when it did not finish (see error)
    std::string output; // its standard output and error
    std::string error;  // why there is no status: no kernel, no boot, the time limit, with the console's end
};

// Runs `command` with /bin/sh as root in the guest, once the uinput and evdev modules are loaded.
// The guest is powered off, and qemu ended, within timeoutMs.
GuestRun runInUinputGuest(const std::string& command, int timeoutMs);

// A command for runInUinputGuest that runs this very program again in the guest with `args`, the
// variable `flag` set to 1 (how the program knows it is the guest's half) and the sanitizers' settings;
// under the helper script `wrapper` (its name here, e.g. "sway_guest.sh"), which gets the program and
// its arguments, when one is named. "" when the program cannot find itself.
std::string selfInGuest(const std::string& flag, const std::string& args, const std::string& wrapper = "");

} // namespace harness
