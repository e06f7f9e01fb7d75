#include "held_keys.h"

#include <algorithm>

void noteKeyEvent(HeldKeys& held, int key, int32_t keyValue, bool isDown, int source) {
    auto& keys = held.keys;
    keys.erase(std::remove_if(keys.begin(), keys.end(), [key](const HeldKey& h) { return h.key == key; }),
               keys.end());
    if (isDown) keys.push_back({key, keyValue, source});
}

int heldKeyFrom(const HeldKeys& held, int source) {
    if (source < 0) return -1;
    for (const HeldKey& h : held.keys)
        if (h.source == source) return h.key;
    return -1;
}

std::vector<HeldKey> takeHeldKeys(HeldKeys& held) {
    std::vector<HeldKey> keys;
    keys.swap(held.keys);
    std::reverse(keys.begin(), keys.end());
    return keys;
}
