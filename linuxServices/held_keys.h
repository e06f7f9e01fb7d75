#pragma once

// The keys a backend pressed and has not released, so that they can all be let go when Velloran is
// gone. A key is what the backend's device knows it by (an X keycode, an evdev code); `keyValue` is
// what the command that pressed it carried, for the release's log line; `source` names the code the
// command meant, where the key it lands on can change (a layout switch), or is -1.

#include <cstdint>
#include <vector>

struct HeldKey {
    int key;
    int32_t keyValue;
    int source;
};

// Oldest press first. Used by the command reader thread only.
struct HeldKeys {
    std::vector<HeldKey> keys;
};

// After a press or release was sent. Pressing a held key again makes it the most recent one; a
// release forgets the key, whether it was held or not.
void noteKeyEvent(HeldKeys& held, int key, int32_t keyValue, bool isDown, int source = -1);

// The key of the held press from `source`, or -1.
int heldKeyFrom(const HeldKeys& held, int source);

// Every held key, most recent press first; `held` is empty afterwards.
std::vector<HeldKey> takeHeldKeys(HeldKeys& held);
