// Screenshots on the real GNOME Shell (headless, 1920x1080, XWayland): in unsafe mode straight from its
// screenshot service, in its default mode through the real desktop portal. A picture that says at every
// pixel where on the screen it lies is laid over the whole stage, so a capture shows which rectangle it
// took, and nothing on the screen moves between two captures.
#include "gnome_shell.h"
#include "picture.h"
#include "service_harness.h"

#include <algorithm>
#include <chrono>

#include <glib.h>
#include <sys/stat.h>

using namespace it;
using nlohmann::json;

namespace {

constexpr int SCREEN_W = 1920, SCREEN_H = 1080;

const std::string REFUSED = "D-Bus aanroep mislukt: GDBus.Error:org.freedesktop.DBus.Error.AccessDenied: "
                            "ScreenshotArea is not allowed";

class GnomeShotTest : public ServiceTest {
  protected:
    void startDesktop(bool unsafeMode, const std::string& permission) {
        harness::GnomeShellOptions options;
        options.unsafeMode = unsafeMode;
        options.keyboard = false;
        std::string error, result;
        ASSERT_TRUE(shell.start(options, error)) << error;
        ASSERT_TRUE(shell.setPortalPermission(permission));
        ASSERT_TRUE(writePatternPng("/tmp/pattern.png", SCREEN_W, SCREEN_H));
        ASSERT_TRUE(
            shell.eval("const {GdkPixbuf, Clutter, Cogl} = imports.gi;"
                       "const pb = GdkPixbuf.Pixbuf.new_from_file('/tmp/pattern.png');"
                       "const image = new Clutter.Image();"
                       "image.set_data(pb.get_pixels(), Cogl.PixelFormat.RGB_888, pb.width, pb.height,"
                       "               pb.rowstride);"
                       "global.stage.add_child(new Clutter.Actor({content: image, width: pb.width,"
                       "                                          height: pb.height})); true",
                       &result))
            << result;
        // Temporary files apart from HOME, which lies in the test's /tmp too.
        makeDir("/tmp/kxtmp", 0700);
        startConnected(0, shell.sessionEnv({"TMPDIR=/tmp/kxtmp"}));
    }
    // The reply's picture, and what the service wrote to standard error meanwhile.
    Picture shot(int x, int y, int w, int h, std::vector<std::string>* err = nullptr) {
        const Logged logged = exchange(kx::regionScreenshotMessage("u", x, y, w, h).dump());
        if (err) *err = logged.err;
        json reply;
        EXPECT_TRUE(kx::awaitMessage(conn, "getRegionScreenshot", reply, TIMEOUT_MS));
        return decodePng(reply.value("data", json::object()).value("base64", ""));
    }
    // The visible names in a directory, sorted, with their sizes and the targets of links.
    static std::string listing(const std::string& dir) {
        return harness::run({"sh", "-c", "cd \"$0\" && ls -1 | xargs -r stat -c '%N %s'", dir},
                            harness::baseEnv())
            .out;
    }

    harness::GnomeShell shell;
};

// Unsafe mode lets the service call ScreenshotArea itself; the portal's permission is "no", so a
// rectangle the shell would refuse (it refuses any that leave the screen) would come back empty. Each
// capture equals the same rectangle of the shell's own full-screen shot, cut as an X11 capture is.
TEST_F(GnomeShotTest, UnsafeModeCapturesAreTheShellsOwnPixels) {
    startDesktop(true, "no");
    // The pattern actor is painted with the stage's next frame, which a loaded shell may not have
    // drawn yet when it answers the Eval: the shell's own shot is taken until the pattern shows.
    Picture screen;
    waitFor(
        [&] {
            const harness::RunResult full =
                harness::run({"gdbus", "call", "--session", "-d", "org.gnome.Shell.Screenshot", "-o",
                              "/org/gnome/Shell/Screenshot", "-m", "org.gnome.Shell.Screenshot.Screenshot",
                              "false", "false", "/tmp/full.png"},
                             shell.sessionEnv());
            gchar* png = nullptr;
            gsize size = 0;
            if (!full.ok() || !g_file_get_contents("/tmp/full.png", &png, &size, nullptr)) return false;
            gchar* base64 = g_base64_encode(reinterpret_cast<const guchar*>(png), size);
            screen = decodePng(base64);
            g_free(base64);
            g_free(png);
            return screen.width == SCREEN_W && pixelsOffPattern(screen, 0, 0) == 0;
        },
        30000);
    ASSERT_EQ(screen.width, SCREEN_W);
    ASSERT_EQ(pixelsOffPattern(screen, 0, 0), 0) << "the picture is not what the shell shows";

    struct Case {
        int x, y, w, h;     // asked
        int cx, cy, cw, ch; // what is on the screen of it
    };
    for (const Case& c : std::vector<Case>{{10, 20, 120, 80, 10, 20, 120, 80},
                                           {1850, 1030, 100, 100, 1850, 1030, 70, 50},
                                           {-10, 5, 100, 50, 0, 5, 100, 50}}) {
        const std::string at = std::to_string(c.x) + "," + std::to_string(c.y);
        std::vector<std::string> err;
        const Picture p = shot(c.x, c.y, c.w, c.h, &err);
        ASSERT_EQ(p.width, c.cw) << at;
        ASSERT_EQ(p.height, c.ch) << at;
        EXPECT_EQ(err, std::vector<std::string>()) << at;
        int differ = 0;
        for (int j = 0; j < p.height; ++j)
            for (int i = 0; i < p.width; ++i)
                differ += p.at(i, j) != screen.at(c.cx + i, c.cy + j);
        EXPECT_EQ(differ, 0) << at;
    }
    std::vector<std::string> err;
    EXPECT_EQ(shot(SCREEN_W, 0, 8, 8, &err).width, 0);
    EXPECT_EQ(err, std::vector<std::string>({"Screenshot: the region lies outside the 1920x1080 desktop"}));
    EXPECT_EQ(harness::run({"ls", "-A", "/tmp/kxtmp"}, harness::baseEnv()).out, "");
}

// The shell's default rules refuse the service; the real portal, with the permission stored, takes the
// whole screen into a new file in the pictures folder (HOME here), which the service reads and removes.
// What was in the folder before stays: a picture of the same name pattern, and a link at the next name,
// which the shell passes over. Then with no permission stored, the portal asks its user, who never
// answers: the request ends at its 30 s bound, and the next command is served at once.
TEST_F(GnomeShotTest, DefaultModeUsesThePortalAndLeavesNoPictureBehind) {
    startDesktop(false, "yes");
    const std::string home = shell.home();
    writeFile(home + "/Screenshot.png", "an older picture");
    ASSERT_EQ(symlink((home + "/elsewhere.png").c_str(), (home + "/Screenshot-1.png").c_str()), 0);
    const std::string before = listing(home);

    for (const auto& r : std::vector<std::array<int, 4>>{
             {10, 20, 120, 80}, {1850, 1030, 100, 100}, {0, 0, 8, 8}, {0, 0, SCREEN_W, SCREEN_H}}) {
        std::vector<std::string> err;
        const Picture p = shot(r[0], r[1], r[2], r[3], &err);
        ASSERT_EQ(p.width, std::min(r[2], SCREEN_W - r[0])) << r[0];
        ASSERT_EQ(p.height, std::min(r[3], SCREEN_H - r[1])) << r[0];
        EXPECT_EQ(pixelsOffPattern(p, r[0], r[1]), 0) << r[0];
        EXPECT_TRUE(p.alpha && p.translucent == 0) << r[0];
        EXPECT_EQ(err, std::vector<std::string>({REFUSED})) << r[0];
        EXPECT_EQ(listing(home), before) << "after the capture at " << r[0];
    }
    EXPECT_EQ(listing(home).find("elsewhere.png "), std::string::npos) << "written through the link";

    const harness::RunResult removed = harness::run(
        {"gdbus", "call", "--session", "-d", "org.freedesktop.impl.portal.PermissionStore", "-o",
         "/org/freedesktop/impl/portal/PermissionStore", "-m",
         "org.freedesktop.impl.portal.PermissionStore.DeletePermission", "screenshot", "screenshot", ""},
        shell.sessionEnv());
    ASSERT_TRUE(removed.ok()) << removed.err;
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(kx::sendMessage(conn, kx::regionScreenshotMessage("u", 0, 0, 8, 8)));
    ASSERT_TRUE(kx::sendMessage(conn, kx::applicationListMessage()));
    json reply;
    ASSERT_TRUE(kx::awaitMessage(conn, "getRegionScreenshot", reply, 40000));
    EXPECT_LE(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked)
                  .count(),
              31000);
    EXPECT_EQ(reply.at("data").at("base64"), "");
    EXPECT_TRUE(kx::awaitMessage(conn, "listOfActiveProcesses", reply, 2000)) << "the next command waited";
    const std::vector<std::string> err = service.err();
    EXPECT_EQ(std::count_if(err.begin(), err.end(),
                            [](const std::string& line) {
                                return line.rfind(
                                           "Screenshot timed out: the desktop portal's answer did not come "
                                           "within ",
                                           0) == 0;
                            }),
              1);
    EXPECT_EQ(listing(home), before);
}

} // namespace
