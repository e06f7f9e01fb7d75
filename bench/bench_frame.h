#pragma once

// The frame of a benchmark on real components: its command line, the service binary it measures, and
// the private namespaces its components run in.

#include "process.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace bench {

struct Run {
    std::string binary;             // the kx-services binary measured
    int binaryFd = -1;              // executed by descriptor: the private /tmp may hide its path
    std::string today;              // --today BINARY: the build a change is measured against, if any
    int todayFd = -1;
    std::vector<std::string> parts; // the parts asked for; none: all
    bool wanted(const std::string& part) const {
        return parts.empty() || std::find(parts.begin(), parts.end(), part) != parts.end();
    }
};

// Arguments: a path (holding a slash) names the binary, "--today PATH" the build to compare with, any
// other word a part to run. `body` runs in private namespaces and reports failures by throwing; the
// result is main()'s exit status.
inline int runBenchmark(const char* name, int argc, char** argv, const std::function<void(const Run&)>& body) {
    std::signal(SIGPIPE, SIG_IGN);
    Run run;
    run.binary = KX_SERVICES_BINARY;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--today") == 0 && i + 1 < argc) run.today = argv[++i];
        else (std::strchr(argv[i], '/') ? run.binary : run.parts.emplace_back()) = argv[i];
    }
    try {
        run.binaryFd = open(run.binary.c_str(), O_RDONLY | O_CLOEXEC);
        if (run.binaryFd < 0) throw std::runtime_error(run.binary + " cannot be opened");
        if (!run.today.empty() && (run.todayFd = open(run.today.c_str(), O_RDONLY | O_CLOEXEC)) < 0)
            throw std::runtime_error(run.today + " cannot be opened");
        std::string error;
        if (!harness::usePrivateNamespaces(error)) throw std::runtime_error(error);
        body(run);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", name, e.what());
        return 1;
    }
    return 0;
}

} // namespace bench
