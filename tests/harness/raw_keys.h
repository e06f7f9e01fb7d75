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

// One connection that receives the raw key events, used on one thread.
class RawKeySource {
  public:
    RawKeySource() = default;
    RawKeySource(const RawKeySource&) = delete;
    RawKeySource& operator=(const RawKeySource&) = delete;
    ~RawKeySource() { close(); }

    // Connects to `display` (":N") and returns once the server will report every later key event.
    bool open(const std::string& display, std::string& error);
    void close();
    // The next event; false when none came within timeoutMs or the server has gone.
    bool next(RawKey& key, int timeoutMs);
    bool serverGone() const { return gone_; }

  private:
    void* dpy_ = nullptr; // Display*, kept out of this header
    int opcode_ = 0;
    bool gone_ = false;
};

// Collects the raw key events on a thread of its own.
class RawKeyListener {
  public:
    RawKeyListener() = default;
    RawKeyListener(const RawKeyListener&) = delete;
    RawKeyListener& operator=(const RawKeyListener&) = delete;
    ~RawKeyListener() { stop(); }

    // Returns once the server will report every later key event. A server that goes away ends the
    // listener quietly.
    bool start(const std::string& display, std::string& error);
    void stop();

    EventLog<RawKey> events; // in the order the server delivered them

  private:
    RawKeySource source_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
};

} // namespace harness
