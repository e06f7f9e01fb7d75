// The X11 backend observed from outside: a real X server, openbox, real clients and the service binary.
#include "platform_x11.h"
#include "script_process.h"
#include "service_harness.h"
#include "x_server.h"
#include "x_test_client.h"

#include <climits>
#include <csignal>
#include <random>
#include <set>
#include <sstream>

#include <X11/Xutil.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace it;
using harness::cardinal;
using harness::text;
using nlohmann::json;

namespace {

std::vector<std::string> withArgs(std::vector<std::string> command, const std::vector<std::string>& args) {
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

const std::string NO_WINDOW = "Application changed: No active window detected, full wayland applications "
                              "cannot be read unfortunately by x11-only execution.";

std::string report(long pid, const std::string& proc, const std::string& title) {
    return json{{"type", "applicationChanged"}, {"data", {{"pid", pid}, {"proc", proc}, {"title", title}}}}.dump();
}

class X11Test : public ServiceTest {
  protected:
    void startX(const std::string& screen = "1920x1080x24", bool windowManager = true) {
        harness::XServerOptions options;
        options.screen = screen;
        options.windowManager = windowManager;
        std::string error;
        ASSERT_TRUE(x.start(options, error)) << error;
        ASSERT_TRUE(client.open(x.display()));
    }
    void startClient(harness::Process& p, const std::vector<std::string>& argv, uid_t uid = 0) {
        harness::SpawnOptions options;
        options.env = x.clientEnv();
        options.env.push_back("NO_AT_BRIDGE=1");
        options.uid = uid;
        ASSERT_TRUE(p.start(argv, options));
    }
    // The id of the window titled exactly `title`, once the window manager manages it.
    std::string windowTitled(const std::string& title) {
        const Window w = harness::waitForClient(x.display(), title);
        EXPECT_NE(w, 0u) << title << " is not managed";
        return std::to_string(w);
    }
    void xdotool(const std::string& action, const std::string& window, const std::string& name = "") {
        std::vector<std::string> argv = {"xdotool", action, window};
        if (name.empty()) argv.insert(argv.begin() + 2, "--sync");
        else argv.insert(argv.begin() + 2, {"--name", name});
        EXPECT_TRUE(x.run(argv).ok()) << action;
    }
    // With no server at `display`, a list is [] and a capture empty, each with the one line saying why.
    void expectNoListAndNoCapture(const std::string& display, const std::string& reason = " cannot be opened.") {
        const size_t before = service.err().size();
        json entries;
        std::string base64 = "?";
        ASSERT_TRUE(kx::requestApplicationList(conn, entries, TIMEOUT_MS));
        ASSERT_TRUE(kx::requestRegionScreenshot(conn, 0, 0, 10, 10, base64, TIMEOUT_MS));
        EXPECT_EQ(entries, json::array());
        EXPECT_EQ(base64, "");
        const std::string why = ": the X display " + display + reason;
        const auto err = service.err();
        EXPECT_EQ(std::vector<std::string>(err.begin() + long(before), err.end()),
                  std::vector<std::string>({"[x11] Cannot list the X11 windows" + why, "[x11] Cannot capture the region" + why}));
    }
    harness::XServer x;
    harness::XTestClient client;
};

TEST_F(X11Test, FocusFollowsRealClientsTitlesAndNoWindow) {
    startX();
    harness::Process term, gtk;
    startClient(term, {"xterm", "-T", "a terminal"});
    startClient(gtk, withArgs(harness::scriptCommand("gtk_windows.py"), {"a gtk window"}));
    const std::string termWin = windowTitled("a terminal"), gtkWin = windowTitled("a gtk window");
    const std::string termReport = report(term.pid(), "xterm", "a terminal");
    const std::string gtkReport = report(gtk.pid(), "python3", "a gtk window");
    xdotool("windowactivate", termWin);
    startConnected(0, {x.displayEnv()});
    EXPECT_EQ(nextReply(), termReport);
    xdotool("windowactivate", gtkWin);
    EXPECT_EQ(nextReply(), gtkReport);
    xdotool("windowactivate", termWin);
    EXPECT_EQ(nextReply(), termReport);
    // xdotool writes the new name as WM_NAME and as a _NET_WM_NAME of type STRING.
    xdotool("set_window", termWin, "renamed");
    EXPECT_EQ(nextReply(), report(term.pid(), "xterm", "renamed"));

    // A hand-over between two windows may pass through "no window" for longer than the monitor waits for
    // it to settle on a loaded machine, so only the lines from here on are counted.
    const size_t before = service.out().size();
    xdotool("windowminimize", gtkWin);
    xdotool("windowminimize", termWin);
    EXPECT_TRUE(service.waitOut(NO_WINDOW));
    EXPECT_EQ(nextReply(SETTLE_MS), "<timeout>");
    const auto out = service.out();
    EXPECT_EQ(std::count(out.begin() + long(before), out.end(), NO_WINDOW), 1);
}

// Without a window manager the test plays one, announcing windows whose properties real programs
// rarely have in _NET_CLIENT_LIST and _NET_ACTIVE_WINDOW: the list and the focus reports must name each
// window alike, and take a pid from it alike.
TEST_F(X11Test, ListAndFocusNameOddWindowsAlikeAndFollowALateWindowManager) {
    startX("640x480x24", false);
    startConnected(0, {x.displayEnv()});
    json entries;
    ASSERT_TRUE(kx::requestApplicationList(conn, entries, TIMEOUT_MS));
    EXPECT_EQ(entries, json::array()); // no _NET_CLIENT_LIST
    EXPECT_EQ(nextReply(SETTLE_MS), "<timeout>");

    const long self = getpid();
    std::string proc = harness::readWholeFile("/proc/self/comm");
    proc.pop_back();
    char exe[4096];
    const ssize_t exeLength = readlink("/proc/self/exe", exe, sizeof exe);
    ASSERT_GT(exeLength, 0);
    const auto number = [](const std::string& type, std::vector<long> values) {
        return harness::PropertyValue{type, 32, {}, std::move(values)};
    };
    Window markers[2];
    for (int i = 0; i < 2; ++i)
        markers[i] = client.createWindow({{"_NET_WM_PID", cardinal(self)}, {"_NET_WM_NAME", text("m" + std::to_string(i))}});
    // The atoms exist from here on: the monitor looks them up again when the root changes.
    client.setActiveWindow(markers[1]);
    EXPECT_EQ(nextReply(), report(self, proc, "m1"));

    struct Odd {
        const char* what;
        std::vector<std::pair<std::string, harness::PropertyValue>> properties;
        std::string title; // as Velloran receives it
        bool pid;          // names this process
    };
    const std::string longTitle(100000, 't');
    const Odd odd[] = {
        {"no pid", {{"_NET_WM_NAME", text("no pid")}}, "no pid", false},
        {"pid of format 16", {{"_NET_WM_PID", cardinal(self, 16)}, {"_NET_WM_NAME", text("t")}}, "t", false},
        {"pid typed INTEGER", {{"_NET_WM_PID", number("INTEGER", {self})}, {"_NET_WM_NAME", text("t")}}, "t", false},
        {"pid 0", {{"_NET_WM_PID", cardinal(0)}, {"_NET_WM_NAME", text("t")}}, "t", false},
        {"pid past 31 bits", {{"_NET_WM_PID", cardinal(-1)}, {"_NET_WM_NAME", text("t")}}, "t", false},
        {"two pids", {{"_NET_WM_PID", number("CARDINAL", {self, 1})}, {"_NET_WM_NAME", text("two")}}, "two", true},
        {"empty _NET_WM_NAME",
         {{"_NET_WM_PID", cardinal(self)}, {"_NET_WM_NAME", text("")}, {"WM_NAME", text("legacy0", "STRING")}},
         "legacy0", true},
        {"Latin-1 WM_NAME", {{"_NET_WM_PID", cardinal(self)}, {"WM_NAME", text("caf\xe9", "STRING")}},
         "caf\xef\xbf\xbd", true}, // invalid UTF-8 reaches Velloran as U+FFFD
        {"trailing NULs", {{"_NET_WM_PID", cardinal(self)}, {"_NET_WM_NAME", text(std::string("nul\0\0", 5))}}, "nul", true},
        {"trailing NULs in WM_NAME", {{"_NET_WM_PID", cardinal(self)}, {"WM_NAME", text(std::string("w\0", 2), "STRING")}},
         "w", true},
        {"embedded NUL", {{"_NET_WM_PID", cardinal(self)}, {"_NET_WM_NAME", text(std::string("a\0b", 3))}},
         std::string("a\0b", 3), true},
        {"_NET_WM_NAME typed STRING",
         {{"_NET_WM_PID", cardinal(self)}, {"_NET_WM_NAME", text("typed", "STRING")}, {"WM_NAME", text("from WM_NAME", "STRING")}},
         "from WM_NAME", true},
        {"_NET_WM_NAME of format 32",
         {{"_NET_WM_PID", cardinal(self)}, {"_NET_WM_NAME", number("UTF8_STRING", {0x41414141})}, {"WM_NAME", text("fmt", "STRING")}},
         "fmt", true},
        {"no name", {{"_NET_WM_PID", cardinal(self)}}, "", true},
        {"long title", {{"_NET_WM_PID", cardinal(self)}, {"_NET_WM_NAME", text(longTitle)}}, longTitle, true},
        {"gone", {{"_NET_WM_PID", cardinal(self)}, {"_NET_WM_NAME", text("gone")}}, "", false},
    };
    int nextMarker = 0;
    for (const Odd& o : odd) {
        SCOPED_TRACE(o.what);
        const Window w = client.createWindow(o.properties);
        if (std::string(o.what) == "gone") client.destroyWindow(w);
        client.setProperty(DefaultRootWindow(client.display()), "_NET_CLIENT_LIST", number("WINDOW", {long(w)}));
        // A window without a pid or a name is no entry of the list; the focus reports need only the pid.
        json listed = json::array();
        if (o.pid && !o.title.empty())
            listed.push_back({{"platform", "x11"}, {"processpath", std::string(exe, size_t(exeLength))}, {"title", o.title}});
        ASSERT_TRUE(kx::requestApplicationList(conn, entries, TIMEOUT_MS));
        EXPECT_EQ(entries, listed);
        // The marker after the window proves that nothing else came.
        client.setActiveWindow(w);
        if (o.pid) {
            EXPECT_EQ(nextReply(), report(self, proc, o.title));
        }
        client.setActiveWindow(markers[nextMarker]);
        EXPECT_EQ(nextReply(), report(self, proc, "m" + std::to_string(nextMarker)));
        nextMarker ^= 1;
    }
    EXPECT_TRUE(service.running());
}

TEST_F(X11Test, ListMatchesWmctrlForTheServiceUser) {
    startX();
    harness::Process mine, other, gtk;
    startClient(mine, {"xterm", "-T", "mine"}, NOBODY);
    startClient(other, {"xterm", "-T", "other user"}, NOBODY - 1);
    startClient(gtk, withArgs(harness::scriptCommand("gtk_windows.py"), {"gtk one", "gtk two"}), NOBODY);
    for (const char* title : {"mine", "other user", "gtk one", "gtk two"})
        windowTitled(title);
    const Window unnamed = client.createWindow({{"_NET_WM_PID", cardinal(mine.pid())}}, true);
    client.createWindow({{"_NET_WM_NAME", text("no pid")}}, true);
    client.createWindow({{"_NET_WM_PID", cardinal(mine.pid())},
                         {"_NET_WM_NAME", text("typed", "STRING")},
                         {"WM_NAME", text("string typed", "STRING")}},
                        true);
    windowTitled("no pid");
    windowTitled("string typed");
    EXPECT_EQ(harness::waitForClient(x.display(), [&](Display*, Window w) { return w == unnamed; }), unnamed);
    startConnected(NOBODY, {x.displayEnv()});
    json entries;
    ASSERT_TRUE(kx::requestApplicationList(conn, entries, TIMEOUT_MS));

    // What wmctrl sees, less what the service user cannot know: windows without a name or a pid, and
    // processes of other users, whose executable link it may not read.
    const harness::RunResult wmctrl = x.run({"wmctrl", "-lp"});
    ASSERT_TRUE(wmctrl.ok()) << wmctrl.err;
    std::vector<json> expected;
    std::istringstream lines(wmctrl.out);
    std::set<std::string> wmctrlTitles;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string id, desktop, host, title;
        long pid = 0;
        fields >> id >> desktop >> pid >> host;
        std::getline(fields >> std::ws, title);
        wmctrlTitles.insert(title);
        struct stat st {};
        const std::string proc = "/proc/" + std::to_string(pid);
        char exe[4096];
        const ssize_t n = readlink((proc + "/exe").c_str(), exe, sizeof exe);
        if (pid > 0 && title != "N/A" && stat(proc.c_str(), &st) == 0 && st.st_uid == NOBODY && n > 0)
            expected.push_back({{"platform", "x11"}, {"processpath", std::string(exe, size_t(n))}, {"title", title}});
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(entries, json(expected));
    EXPECT_EQ(expected.size(), 4u); // mine, gtk one, gtk two, string typed
    EXPECT_TRUE(wmctrlTitles.count("other user") && wmctrlTitles.count("no pid"));
}

// The raw pixels of the whole screen as xwd writes them, converted by the channel scaling rule.
struct XwdScreen {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
};

unsigned char scaled(unsigned long pixel, unsigned long mask) {
    if (!mask) return 0;
    const int shift = __builtin_ctzl(mask), bits = __builtin_popcountl(mask);
    const unsigned long v = (pixel & mask) >> shift;
    return (unsigned char)(bits <= 7 ? v * 255 / ((1ul << bits) - 1) : v >> (bits - 8));
}

XwdScreen readXwd(const harness::XServer& x) {
    const std::string f = x.run({"xwd", "-root", "-silent"}).out;
    const auto card = [&](size_t i) {
        const auto* b = reinterpret_cast<const unsigned char*>(f.data()) + 4 * i;
        return (unsigned long)b[0] << 24 | b[1] << 16 | b[2] << 8 | b[3];
    };
    XwdScreen s;
    if (f.size() < 100) return s;
    s.width = int(card(4));
    s.height = int(card(5));
    const unsigned long bpp = card(11), stride = card(12), masks[3] = {card(14), card(15), card(16)};
    const size_t start = card(0) + 12 * card(19);
    for (int y = 0; y < s.height; ++y)
        for (int x0 = 0; x0 < s.width; ++x0) {
            unsigned long pixel = 0;
            for (unsigned long k = 0; k < bpp / 8; ++k) // byte order LSBFirst, as Xvfb sends
                pixel |= (unsigned long)(unsigned char)f.at(start + y * stride + x0 * bpp / 8 + k) << (8 * k);
            for (unsigned long m : masks)
                s.rgb.push_back(scaled(pixel, m));
        }
    return s;
}

GdkPixbuf* decodePng(const std::string& base64) {
    std::string png;
    if (!kx::decodeBase64(base64, png)) return nullptr;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
    gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(png.data()), png.size(), nullptr);
    gdk_pixbuf_loader_close(loader, nullptr);
    GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
    if (pixbuf) g_object_ref(pixbuf);
    g_object_unref(loader);
    return pixbuf;
}

class CaptureTest : public X11Test, public testing::WithParamInterface<int> {};

TEST_P(CaptureTest, RegionsEqualXwdsPixelsAndBothConversionPathsAgree) {
    const int depth = GetParam();
    startX("320x200x" + std::to_string(depth), false);
    std::mt19937 random(depth);
    std::vector<unsigned long> pixels(320 * 200);
    for (auto& p : pixels)
        p = random() & ((1ul << depth) - 1);
    pixels[0] = 0x8410, pixels[1] = 0xFFFF; // at depth 16: (131, 129, 131) and white
    client.putPixels(0, 0, 320, 200, pixels);
    const XwdScreen screen = readXwd(x);
    ASSERT_EQ(screen.width * screen.height * 3, int(screen.rgb.size()));
    if (depth == 16) {
        EXPECT_EQ(std::vector<int>(screen.rgb.begin(), screen.rgb.begin() + 6),
                  std::vector<int>({131, 129, 131, 255, 255, 255}));
    }
    startConnected(0, {x.displayEnv()});

    struct Case {
        int x, y, w, h;     // requested
        int cx, cy, cw, ch; // captured; cw 0: nothing
    };
    const Case cases[] = {
        {10, 20, 50, 40, 10, 20, 50, 40},    {-10, 0, 100, 50, 0, 0, 100, 50},  {300, 0, 100, 10, 300, 0, 20, 10},
        {0, -5, 320, 205, 0, 0, 320, 200},   {100, 50, INT_MAX, INT_MAX, 100, 50, 220, 150},
        {300, 0, INT_MAX, 10, 300, 0, 20, 10}, {INT_MAX, 0, 10, 10, 0, 0, 0, 0}, {320, 0, 10, 10, 0, 0, 0, 0},
        {0, 200, 10, 10, 0, 0, 0, 0},        {0, 0, 0, 10, 0, 0, 0, 0},          {0, 0, 10, -1, 0, 0, 0, 0},
        // Edge sizes: one pixel, one column, one row, odd widths.
        {319, 199, 1, 1, 319, 199, 1, 1},    {7, 0, 1, 200, 7, 0, 1, 200},      {0, 123, 320, 1, 0, 123, 320, 1},
        {1, 3, 317, 191, 1, 3, 317, 191},    {2, 2, 3, 5, 2, 2, 3, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y) + " " + std::to_string(c.w) + "x" +
                     std::to_string(c.h));
        std::string base64;
        ASSERT_TRUE(kx::requestRegionScreenshot(conn, c.x, c.y, c.w, c.h, base64, TIMEOUT_MS));
        if (c.cw == 0) {
            EXPECT_EQ(base64, "");
            continue;
        }
        GdkPixbuf* png = decodePng(base64);
        ASSERT_NE(png, nullptr);
        EXPECT_EQ(gdk_pixbuf_get_width(png), c.cw);
        EXPECT_EQ(gdk_pixbuf_get_height(png), c.ch);
        ASSERT_EQ(gdk_pixbuf_get_n_channels(png), 4);
        int wrong = 0;
        for (int y = 0; y < c.ch; ++y)
            for (int x0 = 0; x0 < c.cw; ++x0) {
                const guchar* got = gdk_pixbuf_get_pixels(png) + y * gdk_pixbuf_get_rowstride(png) + x0 * 4;
                const unsigned char* want = &screen.rgb[3 * ((c.cy + y) * screen.width + c.cx + x0)];
                wrong += got[0] != want[0] || got[1] != want[1] || got[2] != want[2] || got[3] != 255;
            }
        EXPECT_EQ(wrong, 0);
        g_object_unref(png);
    }

    // The direct path gives the generic path's bytes, in the server's byte order and in the other one.
    Display* dpy = client.display();
    XImage* img = XGetImage(dpy, DefaultRootWindow(dpy), 0, 0, 320, 200, AllPlanes, ZPixmap);
    ASSERT_NE(img, nullptr);
    std::vector<unsigned char> generic(320 * 200 * 4), direct(generic.size());
    x11_convertImageGeneric(img, generic.data(), 320 * 4);
    EXPECT_EQ(x11_convertImageDirect(img, direct.data(), 320 * 4), depth != 8);
    EXPECT_TRUE(depth == 8 || direct == generic);
    const int bytes = img->bits_per_pixel / 8;
    for (int i = 0; bytes > 1 && i + bytes <= img->bytes_per_line * img->height; i += bytes)
        std::reverse(img->data + i, img->data + i + bytes);
    img->byte_order = img->byte_order == LSBFirst ? MSBFirst : LSBFirst;
    ASSERT_TRUE(XInitImage(img));
    std::vector<unsigned char> swapped(generic.size());
    x11_convertImageGeneric(img, swapped.data(), 320 * 4);
    EXPECT_TRUE(swapped == generic);
    EXPECT_TRUE(depth == 8 || (x11_convertImageDirect(img, swapped.data(), 320 * 4) && swapped == generic));
    XDestroyImage(img);

    // Visuals of 32-bit pixels no harness server offers: 8-bit channels in other places, and wide ones.
    const unsigned long layouts[][3] = {{0xFF, 0xFF00, 0xFF0000},
                                        {0xFF000000, 0xFF0000, 0xFF00},
                                        {0xFF00, 0xFF, 0xFF000000},
                                        {0x3FF00000, 0xFFC00, 0x3FF}};
    std::vector<char> data(320 * 200 * 4);
    for (char& c : data)
        c = char(random());
    for (const auto& masks : layouts)
        for (const int order : {LSBFirst, MSBFirst}) {
            Visual visual = *DefaultVisual(dpy, DefaultScreen(dpy));
            visual.red_mask = masks[0], visual.green_mask = masks[1], visual.blue_mask = masks[2];
            const unsigned depth = 64 - unsigned(__builtin_clzl(masks[0] | masks[1] | masks[2]));
            XImage* made = XCreateImage(dpy, &visual, depth, ZPixmap, 0, data.data(), 320, 200, 32, 0);
            ASSERT_NE(made, nullptr);
            made->byte_order = order;
            made->bits_per_pixel = 32;
            made->bytes_per_line = 320 * 4;
            ASSERT_TRUE(XInitImage(made));
            x11_convertImageGeneric(made, generic.data(), 320 * 4);
            EXPECT_TRUE(x11_convertImageDirect(made, direct.data(), 320 * 4) && direct == generic)
                << std::hex << masks[0] << " " << order;
            made->data = nullptr; // ours
            XDestroyImage(made);
        }
}

INSTANTIATE_TEST_SUITE_P(Depths, CaptureTest, testing::Values(24, 16, 30, 8));

// Full-HD screens at both ends of what an encoder meets: noise, which barely shrinks, and one colour,
// which it compresses a thousandfold; the rectangle whole and from an odd corner.
TEST_F(X11Test, NoiseAndFlatFullHdScreensComeBackExactly) {
    startX("1920x1080x24", false);
    startConnected(0, {x.displayEnv()});
    std::mt19937 random(3);
    std::vector<unsigned long> noise(1920 * 1080), flat(1920 * 1080, 0x336699);
    for (auto& p : noise)
        p = random() & 0xFFFFFF;
    for (const auto* screen : {&noise, &flat}) {
        client.putPixels(0, 0, 1920, 1080, *screen);
        for (const std::array<int, 4>& r : {std::array<int, 4>{0, 0, 1920, 1080}, {7, 3, 1913, 1077}}) {
            std::string base64;
            ASSERT_TRUE(kx::requestRegionScreenshot(conn, r[0], r[1], r[2], r[3], base64, TIMEOUT_MS));
            GdkPixbuf* png = decodePng(base64);
            ASSERT_NE(png, nullptr);
            ASSERT_EQ(gdk_pixbuf_get_width(png), r[2]);
            ASSERT_EQ(gdk_pixbuf_get_height(png), r[3]);
            int wrong = 0;
            for (int y = 0; y < r[3]; ++y)
                for (int x0 = 0; x0 < r[2]; ++x0) {
                    const guchar* got = gdk_pixbuf_get_pixels(png) + y * gdk_pixbuf_get_rowstride(png) + x0 * 4;
                    const unsigned long want = (*screen)[size_t((r[1] + y) * 1920 + r[0] + x0)];
                    wrong += got[0] != (want >> 16 & 0xFF) || got[1] != (want >> 8 & 0xFF) ||
                             got[2] != (want & 0xFF) || got[3] != 255;
                }
            EXPECT_EQ(wrong, 0) << (screen == &flat ? "flat" : "noise") << " " << r[0];
            if (screen == &flat) {
                EXPECT_LT(base64.size(), 100000u); // compressed, not stored
            }
            g_object_unref(png);
        }
    }
}

TEST_F(X11Test, NoServerAtStartLeavesTheRestServing) {
    startConnected(0, {"DISPLAY=:4242"});
    EXPECT_TRUE(service.waitErr("Unable to track application focus changes. Could not open X display."));
    expectNoListAndNoCapture(":4242");

    // A Wayland session's list asks XWayland too: a DISPLAY without a server is said, no DISPLAY is no X.
    for (const std::string display : {"", ":4242"}) {
        SCOPED_TRACE("DISPLAY=" + display);
        kx::disconnect(conn);
        service.kill();
        startConnected(0, {"XDG_SESSION_TYPE=wayland", "WAYLAND_DISPLAY=wayland-kx", "NO_AT_BRIDGE=1",
                           "DISPLAY=" + display});
        json entries;
        ASSERT_TRUE(kx::requestApplicationList(conn, entries, TIMEOUT_MS));
        std::vector<std::string> said;
        for (const std::string& line : service.err())
            if (line.rfind("[x11] Cannot", 0) == 0) said.push_back(line);
        EXPECT_EQ(said, display.empty() ? std::vector<std::string>()
                                        : std::vector<std::string>({"[x11] Cannot list the X11 windows: the X "
                                                                    "display :4242 cannot be opened."}));
    }
}

// A server that takes connections and never answers them (stopped here; XWayland stuck in its own start
// does the same) when the service starts: the service starts all the same, without keys, the list and
// the capture give up on it, commands that need no X server are answered, and once the server answers
// the desktop is served again and the focus monitor, which waited, follows it.
TEST_F(X11Test, AServerThatNeverAnswersLeavesTheRestServing) {
    startX();
    harness::Process xterm;
    startClient(xterm, {"xterm", "-T", "answered"});
    windowTitled("answered");
    ASSERT_EQ(::kill(x.serverPid(), SIGSTOP), 0);
    startConnected(0, {x.displayEnv()});
    EXPECT_TRUE(service.waitErr("[x11] XOpenDisplay failed (DISPLAY=" + x.display()));
    expectNoListAndNoCapture(x.display(), " does not answer.");
    EXPECT_FALSE(exchange(R"({"type":"getVersion","data":{}})").out.empty());

    ASSERT_EQ(::kill(x.serverPid(), SIGCONT), 0);
    EXPECT_EQ(nextReply(), report(xterm.pid(), "xterm", "answered"));
    json entries;
    ASSERT_TRUE(kx::requestApplicationList(conn, entries, TIMEOUT_MS));
    EXPECT_EQ(std::count_if(entries.begin(), entries.end(), [](const json& e) { return e["title"] == "answered"; }), 1);
    EXPECT_TRUE(service.running());
}

TEST_F(X11Test, ServerGoingAwayAndComingBack) {
    startX();
    harness::Process before, after;
    startClient(before, {"xterm", "-T", "before"});
    windowTitled("before");
    startConnected(0, {x.displayEnv()});
    EXPECT_EQ(nextReply(), report(before.pid(), "xterm", "before"));

    const std::string display = x.display();
    const std::string lost = "[x11] Lost the X display " + display +
                             "; following focus again once it can be opened (tried every 2 seconds).";
    client.close();
    x.killServer();
    EXPECT_TRUE(service.waitErr(lost));
    expectNoListAndNoCapture(display);

    // A new server on the same display, as a compositor starting XWayland again would do.
    harness::XServerOptions options;
    options.display = display;
    std::string error;
    ASSERT_TRUE(x.start(options, error)) << error;
    startClient(after, {"xterm", "-T", "after"});
    EXPECT_EQ(nextReply(), report(after.pid(), "xterm", "after"));
    EXPECT_TRUE(service.waitOut("[x11] X display " + display + " opened again; following focus changes."));
    const auto err = service.err();
    EXPECT_EQ(std::count(err.begin(), err.end(), lost), 1);
}

} // namespace
