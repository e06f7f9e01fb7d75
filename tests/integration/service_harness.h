#pragma once

// Runs the real kx-services binary in a private /tmp and plays the host at the other ends of its pipes.

#include "kx_client.h"
#include "process.h"

#include <functional>
#include <string>
#include <vector>

#include <csignal>

#include <sys/types.h>

#include <gtest/gtest.h>

namespace it {

// Only guards against hangs; every wait normally ends within milliseconds.
constexpr int TIMEOUT_MS = 10000;
// How long a test lets the service run before concluding that something did not happen.
constexpr int SETTLE_MS = 300;
// Focus reports that stay away this long have all come: the accessibility monitor's and the XWayland
// monitor's (200 ms poll) reports of one activation come within it.
constexpr int QUIET_MS = 800;

constexpr uid_t NOBODY = 65534;

const std::string PIPE_DIR = kx::DEFAULT_PIPE_DIR;
const std::string PIPE_IN = PIPE_DIR + "/" + kx::PIPE_TO_SERVICE;
const std::string PIPE_OUT = PIPE_DIR + "/" + kx::PIPE_FROM_SERVICE;

// The focus thread's only line on the dummy backend; it races every other thread's output.
const std::string NO_FOCUS_MONITOR = "Failed to start application changes, function not available.";

inline bool waitFor(const std::function<bool()>& done, int timeoutMs = TIMEOUT_MS) {
    return harness::waitFor(done, timeoutMs);
}
using harness::sleepMs;
bool contains(const std::vector<std::string>& lines, const std::string& line);
// Complete lines of a file; an unterminated tail is left out.
std::vector<std::string> readLines(const std::string& path);

// Makes a directory or FIFO with exactly `mode`, owned by `uid` (and its group).
void makeDir(const std::string& path, mode_t mode, uid_t uid = 0);
void makeFifo(const std::string& path, mode_t mode, uid_t uid = 0);
void writeFile(const std::string& path, const std::string& content);

class Service {
  public:
    // `name` keeps the output files of several services of one test apart.
    explicit Service(const std::string& name = "service")
        : outPath("/tmp/kx-test/" + name + ".out"), errPath("/tmp/kx-test/" + name + ".err") {}
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;
    ~Service() { kill(); }

    // Starts the binary with no session variables (so the dummy backend), plus `env`: pass DISPLAY,
    // XDG_SESSION_TYPE, DBUS_SESSION_BUS_ADDRESS... to give it a session.
    // `beforeExec` sets up what the service inherits from its parent (see harness::SpawnOptions).
    void start(uid_t uid = 0, const std::vector<std::string>& env = {},
               const std::function<void()>& beforeExec = {});
    std::vector<std::string> out() const { return readLines(outPath); }
    std::vector<std::string> err() const { return readLines(errPath); }
    // Waits for `line` on standard output past its first `after` lines.
    bool waitOut(const std::string& line, size_t after = 0, int timeoutMs = TIMEOUT_MS) const;
    bool waitErr(const std::string& line) const;
    // The wait status once the process has ended, or -1 if it still runs after timeoutMs.
    int waitExit(int timeoutMs = TIMEOUT_MS);
    bool running() { return process.running(); }
    void kill() {
        process.kill(SIGKILL);
        process.stop();
    }
    pid_t pid() const { return process.pid(); }

  private:
    harness::Process process;
    std::string outPath;
    std::string errPath;
};

// Each test gets its own mount namespace with a fresh /tmp, so the fixed pipe paths never meet another
// test's or a real session's, and its own network namespace, so that the abstract sockets of the X
// servers and buses it starts are its own too.
class ServiceTest : public testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the service and connects as the host; returns once the reader waits for commands and
    // start-up has finished. Without `env` the service runs on the dummy backend.
    void startConnected(uid_t uid = 0, const std::vector<std::string>& env = {},
                        const std::function<void()>& beforeExec = {});

    struct Logged {
        std::vector<std::string> out, err;
    };
    // Sends `text` and a newline, then a marker command, and returns what the service logged for `text`
    // alone: the marker's "Unknown type" line proves the reader has finished with everything before it.
    Logged exchange(const std::string& text);
    // The next line on the outgoing pipe, or "<timeout>"/"<closed>".
    std::string nextReply(int timeoutMs = TIMEOUT_MS);
    // The data of every focus report until they stop coming for QUIET_MS; the first may take `firstMs`.
    std::vector<nlohmann::json> focusReports(int firstMs = TIMEOUT_MS);

    Service service;
    kx::Connection conn;
    size_t outSeen = 0;
    size_t errSeen = 0;
    int markers = 0;
};

} // namespace it
