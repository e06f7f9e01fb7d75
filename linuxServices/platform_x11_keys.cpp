// Placeholder until key injection lands: the dummy backend's behaviour.
#include "platform_dummy.h"
#include "platform_x11.h"

void x11_init() {
    dummy_init();
}
void x11_simulateKey(int32_t keycodeRaw, int32_t keyType, bool isDown) {
    dummy_simulateKey(keycodeRaw, keyType, isDown);
}
void x11_releaseHeldKeys() {}
