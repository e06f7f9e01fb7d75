#include "platform_detect.h"

#include <cstdlib>
#include <cstring>

PlatformType detectPlatform() {
    const char* sessionType = std::getenv("XDG_SESSION_TYPE");
    const char* waylandDisplay = std::getenv("WAYLAND_DISPLAY");
    const char* display = std::getenv("DISPLAY");

    // The session manager's word wins over whichever display sockets happen to be exported.
    if (sessionType && std::strcmp(sessionType, "wayland") == 0) return PLATFORM_WAYLAND;
    if (sessionType && std::strcmp(sessionType, "x11") == 0) return PLATFORM_X11;
    // Checked before DISPLAY: a Wayland session usually exports DISPLAY too, for XWayland.
    if (waylandDisplay && *waylandDisplay) return PLATFORM_WAYLAND;
    if (display && *display) return PLATFORM_X11;
    return PLATFORM_UNKNOWN;
}
