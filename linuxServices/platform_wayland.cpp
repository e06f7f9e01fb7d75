#include "platform_wayland.h"

const PlatformBackend WAYLAND_BACKEND = {
    wayland_init,
    wayland_simulateKey,
    wayland_captureRegionBase64,
    wayland_monitorFocusEntry,
    getOpenApplicationsWayland,
    wayland_releaseHeldKeys,
};
