#include "platform_detect.h"

#include <cstdlib>

#include <gtest/gtest.h>

namespace {
struct Session {
    const char* xdgSessionType; // nullptr: unset
    const char* waylandDisplay;
    const char* display;
    PlatformType expected;
};

void setOrUnset(const char* name, const char* value) {
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}
} // namespace

TEST(DetectPlatform, SessionTable) {
    const Session table[] = {
        {nullptr, nullptr, nullptr, PLATFORM_UNKNOWN},
        {"", "", "", PLATFORM_UNKNOWN},
        {"wayland", nullptr, nullptr, PLATFORM_WAYLAND},
        {"x11", nullptr, nullptr, PLATFORM_X11},
        // The session type wins over whichever display sockets are exported.
        {"x11", "wayland-0", ":0", PLATFORM_X11},
        {"wayland", nullptr, ":0", PLATFORM_WAYLAND},
        // Unknown or differently-cased session types fall through to the sockets.
        {"Wayland", "", ":1", PLATFORM_X11},
        {"X11", "wayland-0", nullptr, PLATFORM_WAYLAND},
        {"tty", nullptr, nullptr, PLATFORM_UNKNOWN},
        {"mir", "", "", PLATFORM_UNKNOWN},
        // Without a session type, a Wayland socket beats DISPLAY (XWayland exports both).
        {nullptr, "wayland-0", ":0", PLATFORM_WAYLAND},
        {nullptr, "", ":0", PLATFORM_X11},
        {nullptr, "wayland-1", "", PLATFORM_WAYLAND},
    };
    for (const Session& s : table) {
        setOrUnset("XDG_SESSION_TYPE", s.xdgSessionType);
        setOrUnset("WAYLAND_DISPLAY", s.waylandDisplay);
        setOrUnset("DISPLAY", s.display);
        EXPECT_EQ(detectPlatform(), s.expected)
            << "XDG_SESSION_TYPE=" << (s.xdgSessionType ? s.xdgSessionType : "(unset)")
            << " WAYLAND_DISPLAY=" << (s.waylandDisplay ? s.waylandDisplay : "(unset)")
            << " DISPLAY=" << (s.display ? s.display : "(unset)");
    }
}
