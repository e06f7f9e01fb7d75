#pragma once

// The Wayland backend: a uinput virtual keyboard, focus from the accessibility bus and from
// XWayland, the user's processes from /proc, and the desktop shell's screenshot service.

#include "platform_interface.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

extern const PlatformBackend WAYLAND_BACKEND;

// Key injection (command reader thread; wayland_init on the main thread before any other thread).
void wayland_init();
void wayland_simulateKey(int32_t keycode, int32_t keyType, bool isDown);
void wayland_releaseHeldKeys();

// The layout vk keys follow: a thread of its own learns the desktop's active keyboard layout, publishes
// it (publishActiveLayout) at start and on every switch, and logs each change. Start after wayland_init,
// once the virtual keyboard exists (sway lists it by name); stop ends the thread and publishes nothing.
void wayland_startLayoutFollower();
void wayland_stopLayoutFollower();

// Focus: starts the accessibility monitor when accessibility is usable, then follows XWayland.
void wayland_monitorFocusEntry();

// Appends one entry per process of the service's own user whose executable can be read.
void getOpenApplicationsWayland(std::vector<nlohmann::json>& outVec);

// Base64 of a PNG of the rectangle's part on the desktop from the desktop shell, or from the desktop
// portal when the shell refuses; "" when neither can give one within 30 s.
std::string wayland_captureRegionBase64(int32_t x, int32_t y, int32_t width, int32_t height);

// Between the files of the backend, and exposed for the tests.

// The process's shared session bus connection (a new reference), or null with `error` set.
typedef struct _GDBusConnection GDBusConnection;
typedef struct _GError GError;
GDBusConnection* wayland_sessionBus(GError** error);

// True when process `pid` owns a window of XWayland (listed by its window manager, or active there): its
// focus is the XWayland monitor's to report. False where no XWayland can be reached. Called on the
// accessibility supervisor's thread only.
bool wayland_isXWaylandClient(int pid);

// ---- the accessibility monitor, a child process of the service ----
//
// libatspi keeps tables of the applications it has met that nothing empties when its bus goes away, so
// a bus that comes back meets entries of the old one. The monitor therefore runs in a process of its
// own, started again with each accessibility bus: the service's binary run with ATSPI_MONITOR_ARG.
// It writes one JSON line per record to descriptor 3: {"ready":true} once it listens,
// {"initFailed":CODE} when AT-SPI cannot start, and {"pid":..,"proc":..,"title":..} per activated
// top-level window (and once, at its start, for the window that is active then).
constexpr const char* ATSPI_MONITOR_ARG = "--atspi-monitor";
constexpr const char* SWITCH_KEEPER_ARG = "--accessibility-switch-keeper";
// Runs a helper process's mode when argv names one, and returns its exit status; -1 when it names none.
int wayland_helperMain(int argc, char** argv);
int wayland_atspiMonitorMain();
// Runs this binary in helper `mode` with `fd` as its descriptor `as`, its signals at their defaults;
// its pid, or -1.
int wayland_spawnHelper(const char* mode, int fd, int as);

struct AtspiChild {
    int pid = -1;
    int fd = -1;         // the read end of its records
    std::string pending; // read, not yet a whole line
};
// Starts a monitor process; false (and nothing left open) when it cannot be started.
bool wayland_startAtspiChild(AtspiChild& child);
// Ends it (if still running), reaps it and closes its records.
void wayland_stopAtspiChild(AtspiChild& child);
// Reads what is there (waiting up to `timeoutMs` for something, -1 for ever) and hands each whole line
// to `onLine`; false at the end of its records.
bool wayland_readAtspiChild(AtspiChild& child, int timeoutMs,
                            const std::function<void(const std::string&)>& onLine);

// The supervisor's thread body: follows the accessibility bus, restarts the monitor with it and
// reports what it sends. Takes over the child the probe started, and the records it read past "ready".
void wayland_monitorFocusNative(AtspiChild child, const std::vector<std::string>& early);

// Turns the desktop's accessibility switch on when it is off, and has a keeper process turn it off again
// once the service has ended, however it ends. The opt-out variable leaves it alone.
constexpr const char* LEAVE_SWITCH_ENV = "KX_SERVICES_LEAVE_ACCESSIBILITY";
void wayland_manageAccessibilitySwitch();
int wayland_switchKeeperMain();

// Activations of one window ("pid:title") within this many whole milliseconds of its last report
// are bursts of one change, not new changes.
constexpr long FOCUS_REPEAT_MS = 500;
using FocusTimes = std::unordered_map<std::string, std::chrono::steady_clock::time_point>;
// True, and `now` noted for `key`, when no report for `key` was admitted within the repeat window.
// Keeps only entries that can still suppress a report.
bool admitFocusReport(FocusTimes& times, const std::string& key, std::chrono::steady_clock::time_point now);
