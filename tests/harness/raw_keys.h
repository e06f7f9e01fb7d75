#pragma once

// Sees every key event an X server delivers, whatever its source (a keyboard, XTest), as XInput 2
// raw events on the root window: the way to observe from outside what a client injected.

#include "event_log.h"

#include <atomic>
#include <ostream>
#include <string>
#include <thread>

namespace harness {

struct RawKey {
    int keycode;
    bool press;
    bool operator==(const RawKey& o) const { return keycode == o.keycode && press == o.press; }
};
inline std::ostream& operator<<(std::ostream& os, const RawKey& k) {
    return os << (k.press ? "+" : "-") << k.keycode;
}

class RawKeyListener {
  public:
    RawKeyListener() = default;
    RawKeyListener(const RawKeyListener&) = delete;
    RawKeyListener& operator=(const RawKeyListener&) = delete;
    ~RawKeyListener() { stop(); }

    // Connects to `display` (":N") and returns once the server will report every later key event.
    // A server that goes away ends the listener quietly.
    bool start(const std::string& display, std::string& error);
    void stop();

    EventLog<RawKey> events; // in the order the server delivered them

  private:
    void run(std::string display);

    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> state_{0}; // 0 starting, 1 listening, -1 failed
    std::string error_;         // written before state_ turns -1
};

} // namespace harness
