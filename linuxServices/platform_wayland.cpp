#include "platform_wayland.h"

namespace {

// The layout follower names the virtual keyboard to the desktop, so it starts once that exists.
void wayland_start() {
    wayland_init();
    wayland_startLayoutFollower();
}

} // namespace

const PlatformBackend WAYLAND_BACKEND = {
    wayland_start,
    wayland_simulateKey,
    wayland_captureRegionBase64,
    wayland_monitorFocusEntry,
    getOpenApplicationsWayland,
    wayland_releaseHeldKeys,
};
