#pragma once

// The Wayland backend: a uinput virtual keyboard, focus from the accessibility bus and from
// XWayland, the user's processes from /proc, and the desktop shell's screenshot service.

#include "platform_interface.h"

#include <chrono>
#include <cstdint>
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
// accessibility monitor's thread only.
bool wayland_isXWaylandClient(int pid);

// The accessibility monitor's thread body: a GLib main loop for the life of the process. Expects
// AT-SPI initialised.
void wayland_monitorFocusNative();

// Activations of one window ("pid:title") within this many whole milliseconds of its last report
// are bursts of one change, not new changes.
constexpr long FOCUS_REPEAT_MS = 500;
using FocusTimes = std::unordered_map<std::string, std::chrono::steady_clock::time_point>;
// True, and `now` noted for `key`, when no report for `key` was admitted within the repeat window.
// Keeps only entries that can still suppress a report.
bool admitFocusReport(FocusTimes& times, const std::string& key, std::chrono::steady_clock::time_point now);
