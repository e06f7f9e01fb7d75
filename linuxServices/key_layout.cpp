#include "key_layout.h"

#include "key_tables.h"

#include <algorithm>
#include <mutex>

#include <xkbcommon/xkbcommon.h>

namespace {

std::mutex g_activeMutex;
std::shared_ptr<const ActiveLayout> g_active;

} // namespace

std::shared_ptr<const ActiveLayout> makeActiveLayout(std::shared_ptr<xkb_keymap> keymap, uint32_t layout,
                                                     std::string name) {
    if (!keymap || xkb_keymap_num_layouts(keymap.get()) == 0) return nullptr;
    layout %= xkb_keymap_num_layouts(keymap.get());
    auto active = std::make_shared<ActiveLayout>();
    xkb_keymap* km = keymap.get();
    const xkb_keycode_t first = xkb_keymap_min_keycode(km), last = xkb_keymap_max_keycode(km);
    xkb_level_index_t levels = 0;
    for (xkb_keycode_t kc = first; kc <= last; ++kc)
        levels = std::max(levels, xkb_keymap_num_levels_for_key(km, kc, layout));
    // Lowest level first, then lowest keycode: the first key found for a keysym is the one kept.
    for (xkb_level_index_t level = 0; level < levels; ++level) {
        for (xkb_keycode_t kc = first; kc <= last; ++kc) {
            if (level >= xkb_keymap_num_levels_for_key(km, kc, layout)) continue;
            const xkb_keysym_t* syms = nullptr;
            const int n = xkb_keymap_key_get_syms_by_level(km, kc, layout, level, &syms);
            for (int i = 0; i < n; ++i)
                active->keyOf.emplace(syms[i], kc);
        }
    }
    active->keymap = std::move(keymap);
    active->layout = layout;
    active->name = std::move(name);
    return active;
}

std::shared_ptr<const ActiveLayout> compileLayout(const std::string& layout, const std::string& variant,
                                                  const std::string& options, uint32_t active,
                                                  std::string name) {
    // The names are the desktop's, not this process's environment's (XKB_DEFAULT_LAYOUT...).
    std::unique_ptr<xkb_context, void (*)(xkb_context*)> ctx(
        xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES), xkb_context_unref);
    if (!ctx) return nullptr;
    // A name that does not compile is the caller's to report, in one line of its own; the compiler's
    // own account would run to several lines of standard error per attempt.
    xkb_context_set_log_level(ctx.get(), XKB_LOG_LEVEL_CRITICAL);
    const xkb_rule_names names{"evdev", "pc105", layout.c_str(), variant.c_str(), options.c_str()};
    xkb_keymap* km = xkb_keymap_new_from_names(ctx.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (!km) return nullptr;
    if (active >= xkb_keymap_num_layouts(km)) active = 0;
    return makeActiveLayout(std::shared_ptr<xkb_keymap>(km, xkb_keymap_unref), active, std::move(name));
}

uint32_t keycodeForKeysym(const ActiveLayout& active, uint32_t keysym) {
    const auto it = active.keyOf.find(keysym);
    return it == active.keyOf.end() ? 0 : it->second;
}

int vkKeyUnder(const ActiveLayout* layout, uint8_t vk) {
    const uint32_t keysym = layout ? vkLayoutKeysym(vk) : 0;
    const uint32_t keycode = keysym ? keycodeForKeysym(*layout, keysym) : 0;
    return keycode > X11_KEYCODE_OFFSET ? int(keycode) - X11_KEYCODE_OFFSET : vkToEvdev(vk);
}

void publishActiveLayout(std::shared_ptr<const ActiveLayout> layout) {
    std::lock_guard<std::mutex> lock(g_activeMutex);
    g_active = std::move(layout);
}

std::shared_ptr<const ActiveLayout> activeLayout() {
    std::lock_guard<std::mutex> lock(g_activeMutex);
    return g_active;
}
