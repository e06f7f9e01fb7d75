#include "platform_x11.h"

const PlatformBackend X11_BACKEND = {
    x11_init,
    x11_simulateKey,
    x11_captureRegionBase64,
    x11_monitorFocusChanges,
    getOpenApplicationsX11,
    x11_releaseHeldKeys,
};
