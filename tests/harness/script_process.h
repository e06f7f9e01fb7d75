#pragma once

// A helper program of the tests (a Python script in this directory: a GTK application, D-Bus stand-ins
// for desktop services) driven through its standard input; it tells what it did on its standard output,
// one line per fact.

#include "process.h"

#include <string>
#include <vector>

namespace harness {

// The command line that runs the helper script `name` of this directory (/usr/bin/python3 -c TEXT, or
// /bin/bash -c TEXT NAME for a .sh):
// the scripts are read when the test program starts, since a test's private /tmp may hide a source
// tree that lives under /tmp. Arguments go after it.
std::vector<std::string> scriptCommand(const std::string& name);
// The text of the helper script `name` ("" when unknown), for a guest that runs it from a file of its own.
std::string scriptText(const std::string& name);

class ScriptProcess {
  public:
    ScriptProcess() = default;
    ScriptProcess(const ScriptProcess&) = delete;
    ScriptProcess& operator=(const ScriptProcess&) = delete;
    ~ScriptProcess() { stop(); }

    // Runs the helper script `name` of this directory (see scriptCommand).
    bool start(const std::string& name, const std::vector<std::string>& args,
               const std::vector<std::string>& env, std::string& error);
    bool send(const std::string& line);
    // The next line beginning with `prefix`, past those taken before; false after timeoutMs.
    bool waitLine(const std::string& prefix, std::string& line, int timeoutMs = 15000);
    std::vector<std::string> lines() const;
    // Counts every line so far as taken.
    void skipAll() { taken_ = lines().size(); }
    pid_t pid() const { return process_.pid(); }
    // Closes its input and gives it graceMs to end by itself before ending it.
    void stop(int graceMs = 2000);

  private:
    Process process_;
    int input_ = -1;
    std::string outPath_;
    size_t taken_ = 0;
};

} // namespace harness
