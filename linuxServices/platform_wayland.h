#pragma once

// The Wayland backend: a uinput virtual keyboard, focus from the accessibility bus and from
// XWayland, the user's processes from /proc, and the desktop shell's screenshot service.

#include "platform_interface.h"

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

extern const PlatformBackend WAYLAND_BACKEND;

// Key injection (command reader thread; wayland_init on the main thread before any other thread).
void wayland_init();
void wayland_simulateKey(int32_t keycode, int32_t keyType, bool isDown);
void wayland_releaseHeldKeys();

// Focus: starts the accessibility monitor when accessibility is usable, then follows XWayland.
void wayland_monitorFocusEntry();

void getOpenApplicationsWayland(std::vector<nlohmann::json>& outVec);

std::string wayland_captureRegionBase64(int32_t x, int32_t y, int32_t width, int32_t height);
