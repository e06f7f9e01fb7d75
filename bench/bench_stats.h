#pragma once

// Timing and statistics shared by the benchmarks.

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/types.h>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The value at quantile q (0 to 1) of the samples.
inline double percentile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(q * double(v.size())))];
}

// Median milliseconds of `rounds` runs of `work`.
inline double timeMs(int rounds, const std::function<void()>& work) {
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        work();
        ms.push_back(msSince(start));
    }
    return percentile(ms, 0.5);
}

// Seconds on a CPU as the scheduler counts them, over all the threads of `pid`: the tick-sampled utime
// and stime of /proc/PID/stat are too coarse for the small loads measured here.
inline double cpuSeconds(pid_t pid) {
    unsigned long long total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* dir = opendir(tasks.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            unsigned long long runtime = 0; // nanoseconds
            if (entry->d_name[0] != '.' &&
                std::ifstream(tasks + "/" + entry->d_name + "/schedstat") >> runtime)
                total += runtime;
        }
        closedir(dir);
    }
    return double(total) / 1e9;
}

} // namespace bench
