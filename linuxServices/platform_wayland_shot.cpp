// Placeholder until the shell screenshot lands.
#include "platform_wayland.h"

std::string wayland_captureRegionBase64(int32_t, int32_t, int32_t, int32_t) {
    return std::string();
}
