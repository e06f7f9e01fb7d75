#pragma once

// Timing and statistics shared by the benchmarks.

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

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

} // namespace bench
