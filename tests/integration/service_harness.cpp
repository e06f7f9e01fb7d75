#include "service_harness.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace it {

namespace {
// The test process writes to a service that may be gone; it must see EPIPE, not die.
const bool SIGPIPE_IGNORED = [] {
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}();
} // namespace

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    const std::string text = harness::readWholeFile(path);
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    return lines;
}

void makeDir(const std::string& path, mode_t mode, uid_t uid) {
    ASSERT_EQ(mkdir(path.c_str(), mode), 0) << path << ": " << strerror(errno);
    ASSERT_EQ(chmod(path.c_str(), mode), 0); // past the umask
    ASSERT_EQ(chown(path.c_str(), uid, uid), 0);
}

void makeFifo(const std::string& path, mode_t mode, uid_t uid) {
    ASSERT_EQ(mkfifo(path.c_str(), mode), 0) << path << ": " << strerror(errno);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    ASSERT_EQ(chown(path.c_str(), uid, uid), 0);
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

namespace {
// The binary is opened before /tmp is covered by the test's tmpfs: a build tree that lives under /tmp
// would otherwise vanish from view. Kept open for the life of the test process.
int serviceBinary() {
    static const int fd = open(KX_SERVICES_PATH, O_RDONLY | O_CLOEXEC);
    return fd;
}
} // namespace

void Service::start(uid_t uid, const std::vector<std::string>& env, const std::function<void()>& beforeExec) {
    ASSERT_GE(serviceBinary(), 0) << KX_SERVICES_PATH << ": " << strerror(errno);
    mkdir("/tmp/kx-test", 0755);
    harness::SpawnOptions options;
    options.env = env;
    // PATH for the sanitizers' symbolizer, and their settings; no session variables unless given.
    for (const std::string& var : harness::baseEnv())
        if (var.rfind("HOME=", 0) != 0) options.env.push_back(var);
    options.outPath = outPath;
    options.errPath = errPath;
    options.uid = uid;
    options.execFd = serviceBinary();
    options.beforeExec = beforeExec;
    std::string error;
    ASSERT_TRUE(process.start({KX_SERVICES_PATH}, options, &error)) << error;
}

bool Service::waitOut(const std::string& line, size_t after, int timeoutMs) const {
    return waitFor(
        [&] {
            const std::vector<std::string> all = out();
            return all.size() > after && std::find(all.begin() + long(after), all.end(), line) != all.end();
        },
        timeoutMs);
}

bool Service::waitErr(const std::string& line) const {
    return waitFor([&] { return contains(err(), line); });
}

int Service::waitExit(int timeoutMs) {
    return process.wait(timeoutMs);
}

void ServiceTest::SetUp() {
    if (geteuid() != 0) GTEST_SKIP() << "a private /tmp and an unprivileged service user need root";
    ASSERT_GE(serviceBinary(), 0) << KX_SERVICES_PATH << ": " << strerror(errno);
    std::string error;
    ASSERT_TRUE(harness::usePrivateNamespaces(error)) << error;
}

void ServiceTest::TearDown() {
    kx::disconnect(conn);
    service.kill();
}

void ServiceTest::startConnected(uid_t uid, const std::vector<std::string>& env,
                                 const std::function<void()>& beforeExec) {
    service.start(uid, env, beforeExec);
    std::string error;
    ASSERT_TRUE(kx::connectToService(conn, PIPE_DIR, TIMEOUT_MS, error)) << error;
    // The main thread and the focus thread may still be logging after the reader is ready.
    ASSERT_TRUE(service.waitOut("Waiting for Communication from Velloran..."));
    ASSERT_TRUE(service.waitOut("Init complete, running..."));
    if (env.empty()) {
        ASSERT_TRUE(service.waitErr(NO_FOCUS_MONITOR));
    }
    outSeen = service.out().size();
    errSeen = service.err().size();
}

ServiceTest::Logged ServiceTest::exchange(const std::string& text) {
    const std::string marker = "marker-" + std::to_string(++markers);
    EXPECT_TRUE(kx::sendLine(conn, text));
    EXPECT_TRUE(kx::sendLine(conn, "{\"type\":\"" + marker + "\"}"));

    Logged logged;
    std::vector<std::string> err;
    const auto markerAt = [&] {
        err = service.err();
        for (size_t i = errSeen; i < err.size(); ++i)
            if (err[i] == "Unknown type: " + marker) return i;
        return err.size();
    };
    if (!waitFor([&] {
            const size_t at = markerAt();
            return at < err.size();
        })) {
        ADD_FAILURE() << "the reader never got to " << marker;
        return logged;
    }
    const size_t at = markerAt();
    logged.err.assign(err.begin() + errSeen, err.begin() + at);
    errSeen = at + 1;

    // Stdout is written before the marker's stderr line, by the same thread, so it is complete now.
    const std::vector<std::string> out = service.out();
    logged.out.assign(out.begin() + outSeen, out.end());
    outSeen = out.size();
    if (logged.out.empty() || logged.out.back() != "Incoming message from Velloran...")
        ADD_FAILURE() << "stdout does not end with the marker's line";
    else
        logged.out.pop_back();
    return logged;
}

std::string ServiceTest::nextReply(int timeoutMs) {
    std::string line;
    switch (kx::readLine(conn, line, timeoutMs)) {
    case kx::ReadStatus::Line:
        return line;
    case kx::ReadStatus::Timeout:
        return "<timeout>";
    case kx::ReadStatus::Closed:
        break;
    }
    return "<closed>";
}

std::vector<nlohmann::json> ServiceTest::focusReports(int firstMs) {
    std::vector<nlohmann::json> all;
    nlohmann::json message;
    for (int wait = firstMs; kx::awaitMessage(conn, "applicationChanged", message, wait); wait = QUIET_MS)
        all.push_back(message.value("data", nlohmann::json::object()));
    return all;
}

} // namespace it
