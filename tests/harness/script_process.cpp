#include "script_process.h"

#include <cerrno>
#include <cstring>
#include <map>

#include <fcntl.h>
#include <unistd.h>

namespace harness {

namespace {

std::string readScript(const std::string& name) {
    return readWholeFile(std::string(KX_HARNESS_DIR) + "/" + name);
}

// Read before main(), so before any test covers /tmp.
const std::map<std::string, std::string> SCRIPTS = {
    {"gtk_windows.py", readScript("gtk_windows.py")},
    {"desktop_standins.py", readScript("desktop_standins.py")},
    {"guest.sh", readScript("guest.sh")},
    {"gnome_session.sh", readScript("gnome_session.sh")},
    {"gnome_control.py", readScript("gnome_control.py")},
    {"sway_guest.sh", readScript("sway_guest.sh")},
};

} // namespace

std::vector<std::string> scriptCommand(const std::string& name) {
    const auto found = SCRIPTS.find(name);
    const bool shell = name.size() > 3 && name.compare(name.size() - 3, 3, ".sh") == 0;
    // An unknown or unreadable script runs as a program that fails at once and says which.
    if (found == SCRIPTS.end() || found->second.empty())
        return shell ? std::vector<std::string>{"/bin/sh", "-c", "echo 'no helper script " + name + "' >&2; exit 2"}
                     : std::vector<std::string>{"/usr/bin/python3", "-c",
                                                "import sys; sys.exit('no helper script " + name + "')"};
    // A shell script's $0 is its name.
    if (shell) return {"/bin/bash", "-c", found->second, name};
    return {"/usr/bin/python3", "-c", found->second};
}

std::string scriptText(const std::string& name) {
    const auto found = SCRIPTS.find(name);
    return found == SCRIPTS.end() ? "" : found->second;
}

bool ScriptProcess::start(const std::string& name, const std::vector<std::string>& args,
                          const std::vector<std::string>& env, std::string& error) {
    stop();
    char path[] = "/tmp/kx-script-XXXXXX";
    const int out = mkstemp(path);
    int fds[2];
    if (out < 0 || pipe2(fds, O_CLOEXEC) != 0) {
        error = std::string("script output: ") + strerror(errno);
        if (out >= 0) close(out);
        return false;
    }
    close(out);
    outPath_ = path;
    std::vector<std::string> argv = scriptCommand(name);
    argv.insert(argv.end(), args.begin(), args.end());
    SpawnOptions spawn;
    spawn.env = env;
    spawn.outPath = outPath_;
    spawn.errPath = outPath_ + ".err";
    spawn.fds = {{fds[0], 0}};
    const bool started = process_.start(argv, spawn, &error);
    close(fds[0]);
    input_ = fds[1];
    return started;
}

bool ScriptProcess::send(const std::string& line) {
    const std::string text = line + "\n";
    return input_ >= 0 && write(input_, text.data(), text.size()) == ssize_t(text.size());
}

std::vector<std::string> ScriptProcess::lines() const {
    std::vector<std::string> lines;
    const int fd = open(outPath_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return lines;
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, size_t(n));
    close(fd);
    for (size_t start = 0, nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    return lines;
}

bool ScriptProcess::waitLine(const std::string& prefix, std::string& line, int timeoutMs) {
    return waitFor(
        [&] {
            const std::vector<std::string> all = lines();
            for (size_t i = taken_; i < all.size(); ++i)
                if (all[i].rfind(prefix, 0) == 0) {
                    line = all[i];
                    taken_ = i + 1;
                    return true;
                }
            return false;
        },
        timeoutMs);
}

void ScriptProcess::stop(int graceMs) {
    if (input_ >= 0) close(input_); // end of input: the scripts end by themselves
    input_ = -1;
    if (process_.wait(graceMs) == -1) process_.stop();
    if (!outPath_.empty()) {
        unlink(outPath_.c_str());
        unlink((outPath_ + ".err").c_str());
    }
    outPath_.clear();
    taken_ = 0;
}

} // namespace harness
