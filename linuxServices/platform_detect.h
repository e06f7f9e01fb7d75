#pragma once

#include <cstdint>

enum PlatformType : uint32_t {
    PLATFORM_X11 = 0,
    PLATFORM_WAYLAND = 1,
    PLATFORM_UNKNOWN = 2,
};

// Decides the session type from XDG_SESSION_TYPE, WAYLAND_DISPLAY and DISPLAY.
PlatformType detectPlatform();
