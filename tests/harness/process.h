#pragma once

// Child processes of a test: each is started with exactly the environment it is given and ended by
// the pid it was started with, never by name.

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace harness {

struct SpawnOptions {
    std::vector<std::string> env; // the whole environment; see baseEnv()
    std::string outPath;          // standard output to this file; empty: /dev/null
    std::string errPath;          // standard error likewise
    uid_t uid = 0;                // run as this user (and its group, no supplementary groups); 0: as is
    int execFd = -1;              // when >= 0, execute this open file instead of argv[0]
    std::vector<std::pair<int, int>> fds; // {open fd, number in the child}, e.g. a pipe for -displayfd
    std::string inPath;           // standard input from this file (a FIFO works); empty: /dev/null
    // Runs in the child right before exec, after the user switch; async-signal-safe calls only. For
    // what a parent may leave behind: an ignored signal, a system call filter.
    std::function<void()> beforeExec;
};

class Process {
  public:
    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process() { stop(); }

    // argv[0] is searched on PATH unless it holds a slash. False (with the reason in `error`) when
    // nothing could be started; a program that cannot be executed ends with status 127.
    bool start(const std::vector<std::string>& argv, const SpawnOptions& options, std::string* error = nullptr);
    pid_t pid() const { return pid_; }
    bool running();
    // The wait status once ended, or -1 when it still runs after timeoutMs.
    int wait(int timeoutMs);
    // SIGTERM, then SIGKILL after graceMs; reaps the child. Does nothing when not running.
    void stop(int graceMs = 2000);
    void kill(int signal);

  private:
    pid_t pid_ = -1;
    int status_ = -1;
};

struct RunResult {
    int status = -1; // wait status; -1 when it did not end within the timeout (it is then killed)
    std::string out;
    std::string err;
    bool ok() const;   // exited with status 0
};

// Runs a command to its end, collecting its output.
RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env, int timeoutMs = 20000);

// PATH, HOME and the sanitizers' settings of the test process: what every child needs and no more.
std::vector<std::string> baseEnv();

// The whole content of a file; empty when it cannot be read.
std::string readWholeFile(const std::string& path);
// A process's executable (the "exe" link) and command name ("comm", without its line end); empty when
// they cannot be read.
std::string exeOf(pid_t pid);
std::string commOf(pid_t pid);

// Reads one line from `fd` within timeoutMs; false on timeout or end of file.
bool readLineFrom(int fd, std::string& line, int timeoutMs);

// Puts the calling thread (and every child it starts later) into mount and network namespaces of its
// own, with a fresh tmpfs on /tmp: the fixed pipe directory, the X servers' and buses' sockets and
// whatever they write there are then the caller's alone, and a source tree under /tmp is out of sight.
// Needs root. Also covers /var/lib/xkb, where Xvfb compiles keymaps under its display number, which is
// the same in every such namespace. False with the reason in `error`.
bool usePrivateNamespaces(std::string& error);

// Polls `done` every few milliseconds; false when it is still false after timeoutMs.
bool waitFor(const std::function<bool()>& done, int timeoutMs);
void sleepMs(int ms);

} // namespace harness
