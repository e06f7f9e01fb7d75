// The X11 backend against the tools a user would otherwise reach for, on one private Xvfb with openbox:
//  - region capture, request line to reply line, beside maim and ImageMagick's import, and beside the
//    floor (gdk-pixbuf encoding the same pixels alone), with the time split into its steps;
//  - the PNG compression levels, which chose the one the capture uses;
//  - focus latency from _NET_ACTIVE_WINDOW changing to the applicationChanged line, and idle CPU;
//  - the application list with 50 windows beside wmctrl -lp.
//
// Usage (as root, for a private /tmp): bench_x11 [KX_SERVICES_BINARY] [--idle-seconds N]

#include "bench_stats.h"
#include "kx_client.h"
#include "platform_common.h"
#include "platform_x11.h"
#include "process.h"
#include "x_server.h"
#include "x_test_client.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>

#include <X11/Xutil.h>
#include <fcntl.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

using bench::Clock;
using bench::cpuSeconds;
using bench::msSince;
using bench::percentile;
using bench::timeMs;
const int TIMEOUT_MS = 20000;

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "bench_x11: %s\n", message.c_str());
    std::exit(1);
}

// Smooth shading with fine grain, as in a photograph; a flat colour would flatter every encoder.
std::vector<unsigned long> photoLike(int width, int height) {
    std::mt19937 random(7);
    std::vector<unsigned long> pixels(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double u = x / 173.0, v = y / 131.0;
            const int grain = int(random() % 9) - 4;
            const auto channel = [&](double value) {
                return (unsigned long)std::clamp(int(127.5 + 127.5 * value) + grain, 0, 255);
            };
            const unsigned long r = channel(std::sin(u + 0.7 * std::sin(v)));
            const unsigned long g = channel(std::sin(0.6 * u * v / 3 + 1.3) * std::cos(v * 0.8));
            const unsigned long b = channel(std::cos(0.5 * u - v + std::sin(u * 0.3)));
            pixels[size_t(y) * size_t(width) + size_t(x)] = r << 16 | g << 8 | b;
        }
    return pixels;
}

size_t fileSize(const std::string& path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    return file ? size_t(file.tellg()) : 0;
}

struct Bench {
    harness::XServer x;
    harness::XTestClient client;
    harness::Process service;
    kx::Connection conn;
};

void benchCapture(Bench& b, int w, int h) {
    std::string base64;
    const auto request = [&] {
        if (!kx::requestRegionScreenshot(b.conn, 0, 0, w, h, base64, TIMEOUT_MS) || base64.empty())
            die("no capture");
    };
    const std::string geometry = std::to_string(w) + "x" + std::to_string(h) + "+0+0";
    const int rounds = w * h > 1000000 ? 10 : 30;
    request();
    const double service = timeMs(rounds, request);
    const double maim = timeMs(rounds, [&] {
        if (!b.x.run({"maim", "-g", geometry, "/tmp/maim.png"}).ok()) die("maim failed");
    });
    const double import = timeMs(rounds, [&] {
        if (!b.x.run({"import", "-window", "root", "-crop", geometry, "/tmp/import.png"}).ok()) die("import failed");
    });

    // The steps, in-process on the same pixels.
    Display* dpy = b.client.display();
    XImage* img = nullptr;
    const double read = timeMs(rounds, [&] {
        if (img) XDestroyImage(img);
        img = XGetImage(dpy, DefaultRootWindow(dpy), 0, 0, unsigned(w), unsigned(h), AllPlanes, ZPixmap);
    });
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, w, h);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    const double direct = timeMs(rounds, [&] { x11_convertImageDirect(img, gdk_pixbuf_get_pixels(pixbuf), stride); });
    const double generic =
        timeMs(std::max(1, rounds / 5), [&] { x11_convertImageGeneric(img, gdk_pixbuf_get_pixels(pixbuf), stride); });
    XDestroyImage(img);
    std::string png;
    const double encode = timeMs(rounds, [&] { png = x11_encodePng(pixbuf); });
    const double base64Ms = timeMs(rounds, [&] {
        base64 = base64Encode(reinterpret_cast<const unsigned char*>(png.data()), png.size());
    });
    g_object_unref(pixbuf);
    // The call logs a line per capture; out of the way of the figures.
    std::fflush(stdout);
    const int savedOut = dup(STDOUT_FILENO), devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);
    const double call = timeMs(rounds, [&] { base64 = x11_captureRegionBase64(0, 0, w, h); });
    dup2(savedOut, STDOUT_FILENO);
    close(savedOut);
    close(devNull);
    // What the core and the host add: the reply serialised as the service writes it, and parsed back.
    const nlohmann::json reply = {{"type", "getRegionScreenshot"}, {"uuid", kx::newUuid()}, {"data", {{"base64", base64}}}};
    std::string line;
    const double serialise =
        timeMs(rounds, [&] { line = reply.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); });
    nlohmann::json parsed;
    const double parse = timeMs(rounds, [&] { parsed = nlohmann::json::parse(line); });
    const double rest = service - call - serialise - parse;
    const size_t maimBytes = fileSize("/tmp/maim.png"), importBytes = fileSize("/tmp/import.png");

    std::printf("\ncapture %dx%d, photo-like content, median of %d, ms\n", w, h, rounds);
    std::printf("  kx-services request->reply %8.1f\n", service);
    std::printf("  maim -g                    %8.1f   kx %.2fx faster\n", maim, maim / service);
    std::printf("  import -window root -crop  %8.1f   kx %.2fx faster\n", import, import / service);
    std::printf("  floor: gdk-pixbuf encoding %8.1f   kx %.2fx the floor\n", encode, service / encode);
    std::printf("  the capture call alone     %8.1f   %.2fx the floor\n", call, call / encode);
    std::printf("  split: read %.1f, convert %.1f (XGetPixel path: %.1f), encode %.1f, Base64 %.1f;\n"
                "         reply JSON %.1f, host's JSON parse %.1f, pipe and logging %.1f\n",
                read, direct, generic, encode, base64Ms, serialise, parse, rest);
    std::printf("  bytes: PNG %zu, reply line %zu; maim PNG %zu (kx %.2fx), import PNG %zu\n", png.size(),
                base64.size() + 80, maimBytes, double(png.size()) / double(maimBytes), importBytes);
}

void benchCompression(Bench& b) {
    GdkPixbuf* pixbuf = x11_readRegion(0, 0, 1920, 1080);
    if (!pixbuf) die("no pixels");
    std::printf("\nPNG compression levels on 1920x1080 photo-like content (gdk-pixbuf, libpng's filters)\n");
    std::printf("  level   ms      bytes\n");
    for (const char* level : {"0", "1", "2", "3", "6", "9"}) {
        gchar* buffer = nullptr;
        gsize size = 0;
        const double ms = timeMs(3, [&] {
            g_free(buffer);
            gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", nullptr, "compression", level, nullptr);
        });
        std::printf("  %5s %6.1f %10zu\n", level, ms, size_t(size));
        g_free(buffer);
    }
    g_object_unref(pixbuf);
    (void)b;
}

// openbox moves the focus on a _NET_ACTIVE_WINDOW message, as xdotool windowactivate sends it; the clock
// starts when our own connection sees the root property change.
void benchFocus(Bench& b, const std::vector<Window>& windows, int idleSeconds) {
    Display* dpy = b.client.display();
    const Window root = DefaultRootWindow(dpy);
    const Atom active = XInternAtom(dpy, "_NET_ACTIVE_WINDOW", False);
    XSelectInput(dpy, root, PropertyChangeMask);
    std::vector<double> ms;
    const int samples = 200;
    for (int i = 0; i < samples + 10; ++i) {
        const Window w = windows[size_t(i % 2)];
        XEvent message{};
        message.xclient.type = ClientMessage;
        message.xclient.window = w;
        message.xclient.message_type = active;
        message.xclient.format = 32;
        message.xclient.data.l[0] = 2; // from a pager: always obeyed
        XSendEvent(dpy, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &message);
        XFlush(dpy);
        Clock::time_point changed{};
        for (bool seen = false; !seen;) {
            XEvent ev;
            XNextEvent(dpy, &ev);
            if (ev.type != PropertyNotify || ev.xproperty.atom != active) continue;
            changed = Clock::now();
            Atom type;
            int format;
            unsigned long items, after;
            unsigned char* data = nullptr;
            if (XGetWindowProperty(dpy, root, active, 0, 1, False, AnyPropertyType, &type, &format, &items, &after,
                                   &data) == Success && data) {
                seen = items == 1 && format == 32 && *reinterpret_cast<unsigned long*>(data) == w;
                XFree(data);
            }
        }
        nlohmann::json report;
        if (!kx::awaitMessage(b.conn, "applicationChanged", report, TIMEOUT_MS)) die("no focus report");
        if (i >= 10) ms.push_back(msSince(changed));
        while (XPending(dpy)) {
            XEvent ev;
            XNextEvent(dpy, &ev);
        }
    }
    XSelectInput(dpy, root, NoEventMask);
    std::printf("\nfocus: _NET_ACTIVE_WINDOW change -> applicationChanged line, %d changes, ms\n", samples);
    std::printf("  p50 %.2f  p99 %.2f  max %.2f   (a 200 ms poll alone: about 100 on average)\n",
                percentile(ms, 0.5), percentile(ms, 0.99), percentile(ms, 1.0));

    const double before = cpuSeconds(b.service.pid());
    const auto start = Clock::now();
    sleep(unsigned(idleSeconds));
    const double seconds = msSince(start) / 1000;
    const double cpu = cpuSeconds(b.service.pid()) - before;
    std::printf("idle, a window focused, %.0f s: %.3f s of CPU = %.3f%% of a core\n", seconds, cpu,
                100 * cpu / seconds);
}

void benchList(Bench& b) {
    nlohmann::json entries;
    const auto request = [&] {
        if (!kx::requestApplicationList(b.conn, entries, TIMEOUT_MS)) die("no list");
    };
    request();
    const double service = timeMs(50, request);
    const double wmctrl = timeMs(50, [&] {
        if (!b.x.run({"wmctrl", "-lp"}).ok()) die("wmctrl failed");
    });
    const double call = timeMs(50, [] {
        std::vector<nlohmann::json> list;
        getOpenApplicationsX11(list);
    });
    std::printf("\nlist: %zu entries, median of 50, ms\n", entries.size());
    std::printf("  kx-services request->reply %7.2f\n", service);
    std::printf("  wmctrl -lp                 %7.2f   kx %.2fx faster\n", wmctrl, wmctrl / service);
    std::printf("  the list call in-process   %7.2f\n", call);
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    std::string binary = KX_SERVICES_BINARY;
    int idleSeconds = 60;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--idle-seconds" && i + 1 < argc)
            idleSeconds = std::atoi(argv[++i]);
        else if (arg.rfind("--", 0) != 0)
            binary = arg;
        else
            die("usage: bench_x11 [KX_SERVICES_BINARY] [--idle-seconds N]");
    }
    const int binaryFd = open(binary.c_str(), O_RDONLY | O_CLOEXEC);
    if (binaryFd < 0) die(binary + " cannot be opened");
    std::string error;
    if (!harness::usePrivateNamespaces(error)) die(error);

    Bench b;
    if (!b.x.start({}, error)) die(error);
    if (!b.client.open(b.x.display())) die("cannot open " + b.x.display());
    b.client.putPixels(0, 0, 1920, 1080, photoLike(1920, 1080));
    setenv("DISPLAY", b.x.display().c_str(), 1);

    harness::SpawnOptions options;
    options.env = b.x.clientEnv();
    options.execFd = binaryFd; // its logging, which copies every reply, goes to /dev/null
    if (!b.service.start({binary}, options, &error)) die(error);
    if (!kx::connectToService(b.conn, kx::DEFAULT_PIPE_DIR, TIMEOUT_MS, error)) die(error);

    std::printf("one Xvfb 1920x1080x24 with openbox; kx-services %s\n", binary.c_str());
    benchCapture(b, 256, 256);
    benchCapture(b, 1920, 1080);
    benchCompression(b);

    std::vector<Window> windows;
    for (int i = 0; i < 50; ++i)
        windows.push_back(b.client.createWindow({{"_NET_WM_PID", harness::cardinal(getpid())},
                                                 {"_NET_WM_NAME", harness::text("window " + std::to_string(i))}},
                                                true));
    harness::waitFor([&] { return b.x.run({"wmctrl", "-l"}).out.find("window 49") != std::string::npos; }, TIMEOUT_MS);
    benchList(b);
    benchFocus(b, windows, idleSeconds);

    kx::disconnect(b.conn);
    b.service.stop();
    return 0;
}
