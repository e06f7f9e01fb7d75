#pragma once

// The keys a backend pressed and has not released, so that they can all be let go when Velloran is
// gone. A key is what the backend's device knows it by (an X keycode, an evdev code); `keyValue` is
// what the command that pressed it carried, for the release's log line.

#include <cstdint>
#include <vector>

struct HeldKey {
    int key;
    int32_t keyValue;
};

// Oldest press first. Used by the command reader thread only.
struct HeldKeys {
    std::vector<HeldKey> keys;
};

// After a press or release was sent. Pressing a held key again makes it the most recent one; a
// release forgets the key, whether it was held or not.
void noteKeyEvent(HeldKeys& held, int key, int32_t keyValue, bool isDown);

// Every held key, most recent press first; `held` is empty afterwards.
std::vector<HeldKey> takeHeldKeys(HeldKeys& held);
