// The layout thread inside this process, on GNOME's settings (GSettings' keyfile backend in a directory
// of the test's own): it publishes the current source, follows a switch, and ends cleanly when stopped,
// also when stopped before its loop ever ran.
#include "key_layout.h"
#include "platform_wayland.h"
#include "process.h"

#include <cstdlib>

#include <gio/gio.h>
#include <gtest/gtest.h>

namespace {

bool follows(const std::string& name) {
    return harness::waitFor(
        [&] {
            const auto layout = activeLayout();
            return layout && layout->name == name;
        },
        10000);
}

TEST(LayoutFollower, FollowsGnomeSettingsAndStopsCleanly) {
    char dir[] = "/tmp/kx-layout-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    setenv("GSETTINGS_BACKEND", "keyfile", 1);
    setenv("XDG_CONFIG_HOME", dir, 1);
    setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
    unsetenv("SWAYSOCK");
    GSettings* settings = g_settings_new("org.gnome.desktop.input-sources");
    g_settings_set_value(settings, "sources", g_variant_new_parsed("[('xkb', 'us'), ('xkb', 'fr+azerty')]"));
    g_settings_set_value(settings, "mru-sources", g_variant_new_parsed("[('xkb', 'fr+azerty')]"));
    g_settings_sync();

    wayland_startLayoutFollower();
    EXPECT_TRUE(follows("fr(azerty)"));
    g_settings_set_value(settings, "mru-sources",
                         g_variant_new_parsed("[('xkb', 'us'), ('xkb', 'fr+azerty')]"));
    g_settings_sync();
    EXPECT_TRUE(follows("us"));
    wayland_stopLayoutFollower();
    EXPECT_EQ(activeLayout(), nullptr);

    wayland_startLayoutFollower();
    wayland_stopLayoutFollower();
    EXPECT_EQ(activeLayout(), nullptr);
    g_object_unref(settings);
    harness::run({"rm", "-rf", dir}, harness::baseEnv());
}

} // namespace
