#pragma once

// The three code spaces of Velloran's key commands and what each key becomes on either side: an X11
// keysym or keycode, or a Linux input event code (evdev). The tables are data, so that tests can walk
// them; nothing here needs a display or a device.
//
// The two sides differ on purpose in places (F13-F24 and Menu, F25-F32, the browser and launch keys):
// a key mapped on one side only is refused by the other backend with its own line.

#include <cstddef>
#include <cstdint>

enum class KeySpace { VK, VIRTUAL, SET1 };

// 3 is set1, 2 is virtual, every other value (0, 1, 4, negative...) is vk.
KeySpace keySpaceOf(int32_t keyType);

// Both backends read only the low byte of a command's keyValue: 321 and -191 are both 0x41.
inline uint8_t narrowKeyValue(int32_t keyValue) {
    return uint8_t(uint32_t(keyValue) & 0xFF);
}

struct KeyEntry {
    uint8_t code;   // the key in its code space
    uint32_t value; // the X11 keysym or the evdev code
};

struct KeyTable {
    const KeyEntry* entries;
    size_t size;
    const KeyEntry* begin() const { return entries; }
    const KeyEntry* end() const { return entries + size; }
};

// The value of `code` in `table`, or `unmapped`.
long lookupKey(const KeyTable& table, uint8_t code, long unmapped);

// X11 keysyms by vk code for every key but the letters and digits, whose keysyms are their own
// codes (resolved in the X11 backend); by virtual code.
extern const KeyTable VK_KEYSYMS;
extern const KeyTable VIRTUAL_KEYSYMS;
// evdev codes by vk code for every key but the letters and digits (mapAZ, map09); by virtual code.
extern const KeyTable VK_EVDEV;
extern const KeyTable VIRTUAL_EVDEV;
extern const int mapAZ[26];
extern const int map09[10];

// The 22 set1 make codes of the main block that the set1 space knows. A set1 code names a key
// position: its evdev code is the scan code itself, its X11 keycode the scan code plus 8.
extern const uint8_t SET1_CODES[22];
constexpr int X11_KEYCODE_OFFSET = 8;
bool isSet1Code(uint8_t sc);

// What a key command names, whatever key it lands on: a release is matched to its press by it, as a
// layout switch in between may have moved the symbol to another key.
inline int keySource(KeySpace space, uint8_t code) {
    return int(space) << 8 | code;
}

// The keysym a vk key stands for where the layout decides which key carries it: the letters, the
// digits and the punctuation rows (0 for every other vk code, whose key is a fixed position).
uint32_t vkLayoutKeysym(uint8_t vk);

// evdev side; -1 when unmapped. virtualToEvdev writes the F25-F32 line for 0x88 to 0x8F.
int vkToEvdev(uint8_t vk);
int virtualToEvdev(uint8_t code);
int set1ToEvdev(uint8_t sc);
