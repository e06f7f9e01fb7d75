#pragma once

// What a listener thread has seen so far, for the test thread to wait on and compare.

#include "process.h"

#include <mutex>
#include <vector>

namespace harness {

template <typename Event> class EventLog {
  public:
    void push(const Event& event) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(event);
    }
    // In the order they were pushed.
    std::vector<Event> all() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    // False when fewer than `count` have come within timeoutMs.
    bool waitForCount(size_t count, int timeoutMs) {
        return waitFor(
            [&] {
                std::lock_guard<std::mutex> lock(mutex_);
                return events_.size() >= count;
            },
            timeoutMs);
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
    }

  private:
    std::mutex mutex_;
    std::vector<Event> events_;
};

} // namespace harness
