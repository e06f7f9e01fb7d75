// Placeholder until region capture lands.
#include "platform_x11.h"

std::string x11_captureRegionBase64(int32_t, int32_t, int32_t, int32_t) {
    return std::string();
}
