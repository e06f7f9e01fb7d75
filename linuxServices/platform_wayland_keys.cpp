// Placeholder until the virtual keyboard lands: the dummy backend's behaviour.
#include "platform_dummy.h"
#include "platform_wayland.h"

void wayland_init() {
    dummy_init();
}
void wayland_simulateKey(int32_t keycode, int32_t keyType, bool isDown) {
    dummy_simulateKey(keycode, keyType, isDown);
}
void wayland_releaseHeldKeys() {}
