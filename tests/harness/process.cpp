#include "process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace harness {

bool Process::start(const std::vector<std::string>& argv, const SpawnOptions& options, std::string* error) {
    stop();
    // Everything the child needs is prepared here: between fork and exec only async-signal-safe calls.
    std::vector<std::string> envStrings = options.env;
    std::vector<char*> envp;
    for (std::string& var : envStrings)
        envp.push_back(var.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStrings = argv;
    std::vector<char*> args;
    for (std::string& arg : argStrings)
        args.push_back(arg.data());
    args.push_back(nullptr);
    // execvpe searches the PATH of the calling process; the child's own PATH is what it should use.
    std::string path = "/usr/local/bin:/usr/bin:/bin:/usr/local/sbin:/usr/sbin:/sbin";
    for (const std::string& var : options.env)
        if (var.rfind("PATH=", 0) == 0) path = var.substr(5);
    std::vector<std::string> candidates;
    if (argv.empty()) {
        if (error) *error = "empty command";
        return false;
    }
    if (argv[0].find('/') != std::string::npos) {
        candidates.push_back(argv[0]);
    } else {
        for (size_t start = 0;;) {
            const size_t colon = path.find(':', start);
            candidates.push_back(path.substr(start, colon - start) + "/" + argv[0]);
            if (colon == std::string::npos) break;
            start = colon + 1;
        }
    }
    const auto openOut = [](const std::string& file) {
        return file.empty() ? open("/dev/null", O_WRONLY | O_CLOEXEC)
                            : open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    };
    // A FIFO as input blocks the open until its writer comes, so the child opens it itself.
    const int inFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const std::string inPath = options.inPath;
    const int outFd = openOut(options.outPath);
    const int errFd = openOut(options.errPath);
    if (inFd < 0 || outFd < 0 || errFd < 0) {
        if (error) *error = std::string("cannot open the output files: ") + strerror(errno);
        for (int fd : {inFd, outFd, errFd})
            if (fd >= 0) close(fd);
        return false;
    }

    pid_ = fork();
    if (pid_ == 0) {
        // Ignored signals and the blocked mask survive exec; children start from the defaults.
        for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD})
            signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        setpgid(0, 0); // keeps terminal signals meant for the test runner away from it
        const int input = inPath.empty() ? inFd : open(inPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (input < 0 || dup2(input, 0) < 0 || dup2(outFd, 1) < 0 || dup2(errFd, 2) < 0) _exit(126);
        // Moved out of the way first, so that one mapping's target is never another's source.
        int moved[16];
        const size_t count = options.fds.size() < 16 ? options.fds.size() : 16;
        for (size_t i = 0; i < count; ++i)
            if ((moved[i] = fcntl(options.fds[i].first, F_DUPFD_CLOEXEC, 100)) < 0) _exit(126);
        for (size_t i = 0; i < count; ++i)
            if (dup2(moved[i], options.fds[i].second) < 0) _exit(126);
        if (options.uid != 0 && (setgroups(0, nullptr) != 0 || setresgid(options.uid, options.uid, options.uid) != 0 ||
                                 setresuid(options.uid, options.uid, options.uid) != 0))
            _exit(126);
        if (options.beforeExec) options.beforeExec();
        if (options.execFd >= 0) {
            fexecve(options.execFd, args.data(), envp.data());
        } else {
            for (const std::string& candidate : candidates)
                execve(candidate.c_str(), args.data(), envp.data());
        }
        _exit(127);
    }
    const int forkErrno = errno;
    close(inFd);
    close(outFd);
    close(errFd);
    if (pid_ < 0) {
        if (error) *error = std::string("fork: ") + strerror(forkErrno);
        pid_ = -1;
        return false;
    }
    return true;
}

bool Process::running() {
    if (pid_ < 0) return false;
    if (waitpid(pid_, &status_, WNOHANG) == 0) return true;
    pid_ = -1;
    return false;
}

int Process::wait(int timeoutMs) {
    waitFor([&] { return !running(); }, timeoutMs);
    return pid_ < 0 ? status_ : -1;
}

void Process::kill(int signal) {
    if (pid_ > 0) ::kill(pid_, signal);
}

void Process::stop(int graceMs) {
    if (!running()) return;
    ::kill(pid_, SIGTERM);
    if (wait(graceMs) != -1) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    pid_ = -1;
}

bool RunResult::ok() const {
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env, int timeoutMs) {
    RunResult result;
    char dir[] = "/tmp/kx-run-XXXXXX";
    if (!mkdtemp(dir)) return result;
    const std::string outPath = std::string(dir) + "/out";
    const std::string errPath = std::string(dir) + "/err";
    {
        Process process;
        SpawnOptions options;
        options.env = env;
        options.outPath = outPath;
        options.errPath = errPath;
        if (process.start(argv, options)) {
            result.status = process.wait(timeoutMs);
            if (result.status == -1) process.stop(0);
        }
    }
    result.out = readWholeFile(outPath);
    result.err = readWholeFile(errPath);
    unlink(outPath.c_str());
    unlink(errPath.c_str());
    rmdir(dir);
    return result;
}

std::string readWholeFile(const std::string& path) {
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buffer[65536];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, size_t(n));
    close(fd);
    return text;
}

std::string exeOf(pid_t pid) {
    char link[4096];
    const ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), link, sizeof link);
    return n > 0 ? std::string(link, size_t(n)) : std::string();
}

std::string commOf(pid_t pid) {
    const std::string comm = readWholeFile("/proc/" + std::to_string(pid) + "/comm");
    return comm.substr(0, comm.find('\n'));
}

std::vector<std::string> baseEnv() {
    std::vector<std::string> env;
    bool home = false;
    for (char** e = environ; *e; ++e) {
        const std::string var = *e;
        if (var.rfind("PATH=", 0) == 0 || var.rfind("HOME=", 0) == 0 || var.find("SAN_OPTIONS=") != std::string::npos)
            env.push_back(var);
        home = home || var.rfind("HOME=", 0) == 0;
    }
    if (!home) env.push_back("HOME=/tmp");
    return env;
}

bool readLineFrom(int fd, std::string& line, int timeoutMs) {
    line.clear();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        pollfd pfd{fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, int(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char c;
        const ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (c == '\n') return true;
        line.push_back(c);
    }
}

bool usePrivateNamespaces(std::string& error) {
    const auto fail = [&](const char* what) {
        error = std::string(what) + ": " + strerror(errno);
        return false;
    };
    if (geteuid() != 0) {
        error = "a private /tmp and network namespace need root";
        return false;
    }
    // Mount namespaces belong to the thread; children forked from it inherit them.
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) return fail("unshare");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return fail("making / private");
    if (mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) return fail("a tmpfs on /tmp");
    if (access("/var/lib/xkb", F_OK) == 0 &&
        mount("tmpfs", "/var/lib/xkb", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
        return fail("a tmpfs on /var/lib/xkb");
    return true;
}

bool waitFor(const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        sleepMs(5);
    }
}

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace harness
