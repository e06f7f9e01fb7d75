#pragma once

// Reads a kernel input device the way a desktop does: waits for the device of a given name to appear,
// reads its identity and capabilities, then every event it delivers until the device goes away.

#include "event_log.h"

#include <atomic>
#include <cstdint>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace harness {

struct EvdevIdentity {
    std::string name;
    uint16_t bus = 0, vendor = 0, product = 0, version = 0;
    std::vector<int> eventTypes; // EV_* the device declares
    std::vector<int> keys;       // KEY_* it declares
};

struct EvdevEvent {
    int type, code, value;
    bool operator==(const EvdevEvent& o) const {
        return type == o.type && code == o.code && value == o.value;
    }
};
inline std::ostream& operator<<(std::ostream& os, const EvdevEvent& e) {
    return os << "(" << e.type << "," << e.code << "," << e.value << ")";
}

class EvdevReader {
  public:
    EvdevReader() = default;
    EvdevReader(const EvdevReader&) = delete;
    EvdevReader& operator=(const EvdevReader&) = delete;
    ~EvdevReader() { stop(); }

    // Starts looking for a device named `name`; start it before the device is created.
    void start(const std::string& name);
    void stop();
    // The device's identity once it has been opened; false when that did not happen within timeoutMs.
    bool waitForDevice(EvdevIdentity& identity, int timeoutMs);

    EventLog<EvdevEvent> events; // time stamps left out

  private:
    void run(std::string name);

    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> opened_{false};
    EvdevIdentity identity_; // written before opened_ turns true
};

} // namespace harness
