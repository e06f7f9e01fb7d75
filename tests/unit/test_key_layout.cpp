#include "key_layout.h"
#include "key_tables.h"

#include <linux/input-event-codes.h>

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* layout;
    const char* variant;
    uint32_t active;
    uint8_t vk;
    int evdev; // what the key rule presses
};

} // namespace

// The names a desktop reports (several layouts and which one is active, a variant) compile to the
// layout keys follow. Lowest level first: a symbol on a shifted level presses its key, and one on
// a key's first level wins over the same symbol shifted on a lower keycode. Keys outside the layout
// rows keep their positions whatever the layout.
TEST(KeyLayout, KeysUnderTheActiveLayoutOfTheNamesADesktopReports) {
    const Case table[] = {
        {"us,de", "", 1, 'Z', KEY_Y}, {"us,de", "", 0, 'Z', KEY_Z},    {"de,us", "", 1, 'Z', KEY_Z},
        {"us,de", "", 7, 'Z', KEY_Z}, {"us", "dvorak", 0, 'Q', KEY_X}, {"de", "", 0, 0xBB, KEY_0},
        {"fr", "", 0, '1', KEY_1},    {"us", "", 0, 0xE2, KEY_102ND},  {"ru", "", 0, 'C', KEY_C},
        {"gr", "", 0, 'C', KEY_C},    {"de", "", 0, 0x70, KEY_F1},     {"fr", "", 0, 0x20, KEY_SPACE},
        {"de", "", 0, 0x07, -1},
    };
    for (const Case& c : table) {
        const auto layout = compileLayout(c.layout, c.variant, "", c.active, c.layout);
        ASSERT_TRUE(layout) << c.layout;
        EXPECT_EQ(vkKeyUnder(layout.get(), c.vk), c.evdev)
            << c.layout << "(" << c.variant << ") #" << c.active << " vk " << int(c.vk);
    }
    // Nothing compiled or published: US positions.
    EXPECT_FALSE(compileLayout("no-such-layout", "", "", 0, "x"));
    EXPECT_FALSE(compileLayout("de", "no-such-variant", "", 0, "x"));
    EXPECT_EQ(vkKeyUnder(nullptr, 'Z'), KEY_Z);
    EXPECT_FALSE(makeActiveLayout(nullptr, 0, "x"));
    const auto published = compileLayout("de", "", "", 0, "German");
    publishActiveLayout(published);
    EXPECT_EQ(activeLayout(), published);
    publishActiveLayout(nullptr);
    EXPECT_FALSE(activeLayout());
}
