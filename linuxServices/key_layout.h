#pragma once

// The keyboard layout that vk keys follow: Velloran's VK_A is the key that types "a" in the desktop's
// active layout, as on Windows. Both backends resolve a keysym through the same rule against an
// xkbcommon keymap: the X11 backend against the server's keymap and its locked group, the Wayland
// backend against the layout the desktop says is active.

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

struct xkb_keymap;

// A compiled keymap, which of its layouts is active, and the keysym -> key table of that layout.
// Immutable once made; shared between the thread that follows the desktop and the command reader.
struct ActiveLayout {
    std::shared_ptr<xkb_keymap> keymap;
    uint32_t layout = 0;
    std::string name; // what the log line calls it: "de", "fr(azerty)", "German"...
    // keysym -> xkb keycode (evdev code + 8): levels lowest first, then keycodes lowest first.
    std::unordered_map<uint32_t, uint32_t> keyOf;
};

// The table for `layout` of `keymap` (which it keeps a reference to); null when keymap is null. A
// `layout` beyond the keymap's wraps around, as the X server wraps a locked group.
std::shared_ptr<const ActiveLayout> makeActiveLayout(std::shared_ptr<xkb_keymap> keymap, uint32_t layout,
                                                     std::string name);

// A keymap compiled from the names a desktop keeps (rules "evdev", model "pc105"); a comma-separated
// `layout` gives several layouts, of which `active` is the one keys follow. Null when the names do not
// compile.
std::shared_ptr<const ActiveLayout> compileLayout(const std::string& layout, const std::string& variant,
                                                  const std::string& options, uint32_t active,
                                                  std::string name);

// The xkb keycode (evdev + 8) carrying `keysym` in `active`, or 0 when the layout has none.
uint32_t keycodeForKeysym(const ActiveLayout& active, uint32_t keysym);

// The key vk `vk` presses under `layout`, as an evdev code: a vk key of the layout (vkLayoutKeysym) is
// the key carrying its keysym; any other vk key, a keysym the layout lacks (a Latin letter under a
// Cyrillic layout, where shortcuts go by position) and a null layout keep the US position (vkToEvdev).
// -1 when the vk code has no key.
int vkKeyUnder(const ActiveLayout* layout, uint8_t vk);

// The layout the Wayland keys follow now: published by whatever follows the desktop, read per key by
// the command reader. Null until something is published (then keys keep US positions).
void publishActiveLayout(std::shared_ptr<const ActiveLayout> layout);
std::shared_ptr<const ActiveLayout> activeLayout();
