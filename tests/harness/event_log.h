#pragma once

// What a listener thread has seen so far, for the test thread to wait on and compare.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace harness {

template <typename Event> class EventLog {
  public:
    void push(const Event& event) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back(event);
        }
        grown_.notify_all();
    }
    // In the order they were pushed.
    std::vector<Event> all() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    // False when fewer than `count` have come within timeoutMs.
    bool waitForCount(size_t count, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return grown_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return events_.size() >= count; });
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
    }

  private:
    std::mutex mutex_;
    std::condition_variable grown_;
    std::vector<Event> events_;
};

} // namespace harness
