// Round-trip latency of requests to a real kx-services, from writing the request to reading the whole
// reply line, next to the floor that two processes and a FIFO pair allow: a trivial echo.
//
// Usage: bench_roundtrip [KX_SERVICES_BINARY] [--requests N]

#include "bench_stats.h"
#include "kx_client.h"
#include "process.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using bench::percentile;

// A directory of its own for each run (made by startEcho), removed at the end with what is in it.
std::string g_echoDir;
const int CONNECT_TIMEOUT_MS = 10000;
const int REPLY_TIMEOUT_MS = 10000;
const int BLOCK = 500; // requests of one kind in a row before switching to the next kind

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "bench_roundtrip: %s\n", message.c_str());
    std::exit(1);
}

// A tmpfs of our own on /tmp, so the fixed pipe directory of the service cannot meet a real one.
// Done before any fork, so every child shares it.
void usePrivateTmp() {
    if (geteuid() != 0) {
        struct stat st {};
        if (stat(kx::DEFAULT_PIPE_DIR, &st) == 0)
            die(std::string("not root, so /tmp is shared, and ") + kx::DEFAULT_PIPE_DIR +
                " exists: another kx-services may be running");
        std::fprintf(stderr, "bench_roundtrip: not root, using the shared /tmp\n");
        return;
    }
    std::string error;
    if (!harness::usePrivateNamespaces(error)) die(error);
}

void writeAll(int fd, const char* data, size_t len) {
    while (len > 0) {
        const ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) _exit(1);
        data += n;
        len -= size_t(n);
    }
}

// Removes the pipe directory `dir` and the files the echo or the service made in it.
void removePipeDir(const std::string& dir) {
    for (const char* name : {kx::PIPE_FROM_SERVICE, kx::PIPE_TO_SERVICE, "kx-services.lock"})
        unlink((dir + "/" + name).c_str());
    rmdir(dir.c_str());
}

// The floor: a process that opens the pipes the way the service does and sends back what it reads.
pid_t startEcho() {
    char dir[] = "/tmp/kx-echo-floor-XXXXXX";
    if (!mkdtemp(dir)) die(std::string("making the echo directory: ") + std::strerror(errno));
    g_echoDir = dir;
    const std::string from = g_echoDir + "/" + kx::PIPE_FROM_SERVICE;
    const std::string to = g_echoDir + "/" + kx::PIPE_TO_SERVICE;
    if (mkfifo(from.c_str(), 0600) != 0 || mkfifo(to.c_str(), 0600) != 0)
        die(std::string("making the echo pipes: ") + std::strerror(errno));
    const pid_t pid = fork();
    if (pid < 0) die(std::string("fork: ") + std::strerror(errno));
    if (pid > 0) return pid;
    const int out = open(from.c_str(), O_WRONLY);
    const int in = open(to.c_str(), O_RDONLY);
    if (out < 0 || in < 0) _exit(1);
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) _exit(0);
        writeAll(out, buffer, size_t(n));
    }
}

// The service as a desktop session would not see it: no display variables, so the dummy backend,
// and its logging (which copies every reply) thrown away.
pid_t startService(int binary) {
    std::vector<char*> env;
    for (char** e = environ; *e; ++e) {
        const std::string var = *e;
        if (var.rfind("DISPLAY=", 0) == 0 || var.rfind("WAYLAND_DISPLAY=", 0) == 0 ||
            var.rfind("XDG_SESSION_TYPE=", 0) == 0)
            continue;
        env.push_back(*e);
    }
    env.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) die(std::string("fork: ") + std::strerror(errno));
    if (pid > 0) return pid;
    const int devNull = open("/dev/null", O_RDWR);
    dup2(devNull, STDIN_FILENO);
    dup2(devNull, STDOUT_FILENO);
    dup2(devNull, STDERR_FILENO);
    char name[] = "kx-services";
    char* argv[] = {name, nullptr};
    fexecve(binary, argv, env.data());
    _exit(127);
}

void connectOrDie(kx::Connection& conn, const char* dir, pid_t child, const char* what) {
    std::string error;
    if (kx::connectToService(conn, dir, CONNECT_TIMEOUT_MS, error)) return;
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) {
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (code == 127) die(std::string(what) + " could not be started");
        die(std::string(what) + " exited early with status " + std::to_string(code));
    }
    die(std::string(what) + ": " + error);
}

using Check = bool (*)(const std::string& request, const std::string& reply);

bool isEcho(const std::string& request, const std::string& reply) {
    return reply == request;
}

bool isListReply(const std::string&, const std::string& reply) {
    const auto message = nlohmann::json::parse(reply, nullptr, false);
    return kx::textMember(message, "type") == "listOfActiveProcesses";
}

bool isShotReply(const std::string& request, const std::string& reply) {
    const auto message = nlohmann::json::parse(reply, nullptr, false);
    return kx::textMember(message, "type") == "getRegionScreenshot" &&
           kx::textMember(message, "uuid") == kx::textMember(nlohmann::json::parse(request), "uuid");
}

struct Series {
    const char* name;
    kx::Connection* conn;
    std::vector<std::string> requests; // one per round trip, so screenshot uuids stay unique
    Check check;
    std::vector<double> micros;
    size_t next = 0;
};

// Times `count` round trips; the reply is checked after the clock has stopped.
void run(Series& s, int count, bool keep) {
    std::string reply;
    for (int i = 0; i < count; ++i) {
        const std::string& request = s.requests[s.next++ % s.requests.size()];
        const auto start = std::chrono::steady_clock::now();
        if (!kx::sendLine(*s.conn, request)) die(std::string(s.name) + ": write failed");
        const auto status = kx::readLine(*s.conn, reply, REPLY_TIMEOUT_MS);
        const auto end = std::chrono::steady_clock::now();
        if (status != kx::ReadStatus::Line) die(std::string(s.name) + ": no reply");
        if (!s.check(request, reply))
            die(std::string(s.name) + ": unexpected reply: " + reply.substr(0, 200));
        if (keep) s.micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    std::string binary = KX_SERVICES_BINARY;
    int requests = 10000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--requests" && i + 1 < argc)
            requests = std::atoi(argv[++i]);
        else if (arg.rfind("--", 0) != 0)
            binary = arg;
        else
            die("usage: bench_roundtrip [KX_SERVICES_BINARY] [--requests N]");
    }
    if (requests <= 0) die("--requests needs a positive count");
    // Opened before /tmp is replaced: the build may live there.
    const int binaryFd = open(binary.c_str(), O_RDONLY | O_CLOEXEC);
    if (binaryFd < 0 || access(binary.c_str(), X_OK) != 0) die(binary + " is not an executable");

    usePrivateTmp();
    const pid_t echoPid = startEcho();
    const pid_t servicePid = startService(binaryFd);
    kx::Connection echo;
    kx::Connection service;
    connectOrDie(echo, g_echoDir.c_str(), echoPid, "echo");
    connectOrDie(service, kx::DEFAULT_PIPE_DIR, servicePid, "kx-services");

    const std::string listRequest = kx::applicationListMessage().dump();
    std::vector<std::string> shotRequests;
    for (int i = 0; i < requests + BLOCK; ++i)
        shotRequests.push_back(kx::regionScreenshotMessage(kx::newUuid(), 0, 0, 640, 480).dump());

    std::vector<Series> all = {
        {"echo floor (FIFO pair)", &echo, {listRequest}, isEcho, {}},
        {"listCurrentProcesses", &service, {listRequest}, isListReply, {}},
        {"getRegionScreenshot", &service, shotRequests, isShotReply, {}},
    };
    for (auto& s : all)
        run(s, BLOCK, false); // warm-up
    // Kinds take turns in blocks, so drift of the machine's load spreads over all of them alike.
    for (int done = 0; done < requests; done += BLOCK)
        for (auto& s : all)
            run(s, std::min(BLOCK, requests - done), true);

    kx::disconnect(service);
    kx::disconnect(echo);
    kill(servicePid, SIGTERM);
    kill(echoPid, SIGTERM);
    waitpid(servicePid, nullptr, 0);
    waitpid(echoPid, nullptr, 0);
    // On a shared /tmp, what is left behind would stop the next run (and, as another user's, any
    // kx-services of this user).
    removePipeDir(g_echoDir);
    removePipeDir(kx::DEFAULT_PIPE_DIR);

    std::printf("round trip, client write to reply line read, %d requests each, microseconds\n", requests);
    std::printf("%-26s %9s %9s %9s %9s %11s %11s\n", "", "p50", "p90", "p99", "max", "p50/floor",
                "p99/floor");
    std::vector<double> floor;
    for (auto& s : all) {
        std::sort(s.micros.begin(), s.micros.end());
        if (floor.empty()) floor = s.micros;
        std::printf("%-26s %9.1f %9.1f %9.1f %9.1f %10.2fx %10.2fx\n", s.name, percentile(s.micros, 0.5),
                    percentile(s.micros, 0.9), percentile(s.micros, 0.99), s.micros.back(),
                    percentile(s.micros, 0.5) / percentile(floor, 0.5),
                    percentile(s.micros, 0.99) / percentile(floor, 0.99));
    }
    std::printf("(kx-services on its dummy backend: empty application list, empty 640x480 capture)\n");
    return 0;
}
