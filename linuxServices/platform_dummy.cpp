#include "platform_dummy.h"

#include "platform_common.h"

void dummy_init() {
    logErr("[dummy] platform not supported\n");
}

void dummy_simulateKey(int32_t keycode, int32_t /*keytype*/, bool press) {
    logErr("[dummy] key " + std::to_string(keycode) + (press ? " down" : " up"));
}

std::string dummy_captureRegionBase64(int32_t, int32_t, int32_t, int32_t) {
    return std::string();
}
