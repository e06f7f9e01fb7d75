#include "uinput_guest.h"

#include "script_process.h"

#include <fstream>

#include <sys/wait.h>
#include <unistd.h>

namespace harness {

GuestRun runInUinputGuest(const std::string& command, int timeoutMs) {
    GuestRun result;
    char dirTemplate[] = "/tmp/kx-guest-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        result.error = "mkdtemp failed";
        return result;
    }
    const std::string dir = dirTemplate;
    // The guest sees this machine's files as the test sees them, the test's private /tmp included.
    std::ofstream(dir + "/run.sh") << "modprobe uinput && modprobe evdev || exit 1\n" << command << "\n";
    std::vector<std::string> env = baseEnv();
    env.push_back("KX_GUEST_TIMEOUT=" + std::to_string((timeoutMs + 999) / 1000));
    std::vector<std::string> argv = scriptCommand("guest.sh");
    argv.insert(argv.end(), {dir + "/work", "/bin/sh", dir + "/run.sh"});
    // Its own limit ends qemu first; this one only guards against the script itself hanging.
    const RunResult run = harness::run(argv, env, timeoutMs + 30000);
    result.output = run.out;
    const int code = run.status != -1 && WIFEXITED(run.status) ? WEXITSTATUS(run.status) : -1;
    if (code == 124 || code == 125 || code == -1)
        result.error = run.err.empty() ? "the guest did not finish" : run.err;
    else
        result.status = code;
    harness::run({"rm", "-rf", dir}, baseEnv());
    return result;
}

std::string selfInGuest(const std::string& flag, const std::string& args, const std::string& wrapper) {
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return "";
    std::string command = "export " + flag + "=1\n";
    for (const std::string& var : baseEnv())
        if (var.find("SAN_OPTIONS=") != std::string::npos) command += "export '" + var + "'\n";
    // A script travels as text: the test's private /tmp may hide the source tree.
    if (!wrapper.empty())
        command += "cat >/run/" + wrapper + " <<'KX_SCRIPT_END'\n" + scriptText(wrapper) +
                   "KX_SCRIPT_END\nsh /run/" + wrapper + " ";
    return command + self + " " + args;
}

} // namespace harness
