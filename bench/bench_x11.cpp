// The X11 backend against the tools a user would otherwise reach for, on one private Xvfb with openbox:
//  - region capture, request line to reply line, beside maim, on three screens (desktop-like, noise and
//    photo-like), with the time split into its steps and, given --today, beside the build the change
//    is measured against; the PNG encoders that were candidates, on the same pixels; peak memory;
//  - focus latency from _NET_ACTIVE_WINDOW changing to the applicationChanged line, and idle CPU;
//  - the application list with 50 windows beside wmctrl -lp.
//
// Usage (as root, for a private /tmp):
//   bench_x11 [KX_SERVICES_BINARY] [--today BINARY] [--capture-only] [--idle-seconds N]

#include "bench_stats.h"
#include "kx_client.h"
#include "platform_common.h"
#include "platform_x11.h"
#include "png_encode.h"
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
#include <array>
#include <fcntl.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <libdeflate.h>
#include <png.h>
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

// The screens a capture is measured on, 24-bit pixels row by row.
using ScreenPixels = std::vector<unsigned long>;

unsigned long rgb(int r, int g, int b) {
    return (unsigned long)r << 16 | (unsigned long)g << 8 | (unsigned long)b;
}

// Smooth shading with fine grain, as in a photograph.
ScreenPixels photoLike(int width, int height) {
    std::mt19937 random(7);
    ScreenPixels pixels(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double u = x / 173.0, v = y / 131.0;
            const int grain = int(random() % 9) - 4;
            const auto channel = [&](double value) {
                return std::clamp(int(127.5 + 127.5 * value) + grain, 0, 255);
            };
            pixels[size_t(y) * size_t(width) + size_t(x)] =
                rgb(channel(std::sin(u + 0.7 * std::sin(v))),
                    channel(std::sin(0.6 * u * v / 3 + 1.3) * std::cos(v * 0.8)),
                    channel(std::cos(0.5 * u - v + std::sin(u * 0.3))));
        }
    return pixels;
}

// Every pixel drawn at random: nothing for an encoder to find, its worst case.
ScreenPixels noise(int width, int height) {
    std::mt19937 random(5);
    ScreenPixels pixels(size_t(width) * size_t(height));
    for (auto& p : pixels)
        p = random() & 0xFFFFFF;
    return pixels;
}

// What a desktop shows: a shaded wallpaper, a panel, a dock of icons and windows full of antialiased text,
// one of them a dark terminal.
ScreenPixels desktopLike(int width, int height) {
    std::mt19937 random(11);
    ScreenPixels px(size_t(width) * size_t(height));
    const auto at = [&](int x, int y) -> unsigned long& { return px[size_t(y) * size_t(width) + size_t(x)]; };
    const auto fill = [&](int x0, int y0, int w, int h, unsigned long c) {
        for (int y = std::max(y0, 0); y < std::min(y0 + h, height); ++y)
            for (int x = std::max(x0, 0); x < std::min(x0 + w, width); ++x)
                at(x, y) = c;
    };
    std::vector<std::array<unsigned char, 8 * 14>> glyphs(96);
    for (auto& g : glyphs)
        for (size_t i = 0; i < g.size(); ++i) {
            const int row = int(i / 8), col = int(i % 8);
            const bool inside = row >= 3 && row < 12 && col >= 1 && col < 7;
            g[i] = inside ? std::array<unsigned char, 6>{0, 0, 0, 96, 200, 255}[random() % 6] : 0;
        }
    const auto text = [&](int x0, int y0, int w, int h, unsigned long fg, unsigned long bg, int lineHeight) {
        const auto mix = [](unsigned long a, unsigned long b, int cov, int shift) {
            const int ca = int(a >> shift & 0xFF), cb = int(b >> shift & 0xFF);
            return (unsigned long)(ca + (cb - ca) * cov / 255) << shift;
        };
        for (int y = y0; y + 14 <= y0 + h; y += lineHeight) {
            const int length = int(random() % unsigned(w / 8));
            for (int x = x0, n = 0; n < length && x + 8 <= x0 + w; ++n, x += 8) {
                if (random() % 7 == 0) continue; // a space
                const auto& g = glyphs[random() % glyphs.size()];
                for (int j = 0; j < 14; ++j)
                    for (int i = 0; i < 8; ++i)
                        if (y + j < height && x + i < width && g[size_t(j * 8 + i)])
                            at(x + i, y + j) = mix(bg, fg, g[size_t(j * 8 + i)], 16) |
                                               mix(bg, fg, g[size_t(j * 8 + i)], 8) |
                                               mix(bg, fg, g[size_t(j * 8 + i)], 0);
            }
        }
    };
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            at(x, y) = rgb(30 + 50 * y / height, 60 + 40 * (x + y) / (width + height), 110 + 60 * x / width);
    struct Window {
        int x, y, w, h;
        bool terminal;
    };
    for (const Window& w : {Window{150, 90, 900, 640, false}, Window{760, 260, 1000, 700, false},
                            Window{90, 560, 720, 460, true}, Window{1320, 110, 560, 420, false}}) {
        fill(w.x + 4, w.y + 4, w.w, w.h, rgb(20, 30, 50)); // shadow
        fill(w.x - 1, w.y - 1, w.w + 2, w.h + 2, rgb(190, 190, 190));
        fill(w.x, w.y, w.w, 36, rgb(235, 235, 235));
        text(w.x + 12, w.y + 11, w.w / 3, 14, rgb(40, 40, 40), rgb(235, 235, 235), 20);
        const unsigned long body = w.terminal ? rgb(30, 30, 36) : rgb(255, 255, 255);
        fill(w.x, w.y + 36, w.w, w.h - 36, body);
        text(w.x + 10, w.y + 46, w.w - 20, w.h - 56, w.terminal ? rgb(200, 200, 200) : rgb(40, 40, 40), body,
             18);
    }
    fill(0, 28, 64, height - 28, rgb(40, 40, 40));
    for (int i = 0; i < 10; ++i)
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 48; ++x)
                at(8 + x, 44 + i * 64 + y) =
                    rgb((40 + i * 20 + x * 2) % 256, (90 + y * 3) % 256, (200 - i * 15) % 256);
    fill(0, 0, width, 28, rgb(24, 24, 24));
    text(width / 2 - 60, 7, 120, 14, rgb(240, 240, 240), rgb(24, 24, 24), 20);
    text(width - 200, 7, 180, 14, rgb(240, 240, 240), rgb(24, 24, 24), 20);
    return px;
}

size_t fileSize(const std::string& path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    return file ? size_t(file.tellg()) : 0;
}

// Peak resident memory of a process so far, in MiB.
double peakRssMiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024;
    return 0;
}

struct Service {
    harness::Process process;
    kx::Connection conn;
};

struct Bench {
    harness::XServer x;
    harness::XTestClient client;
    Service service;
    int binaryFd = -1, todayFd = -1; // today's binary: the build the change is measured against
};

void startService(Bench& b, int fd, Service& s) {
    harness::SpawnOptions options;
    options.env = b.x.clientEnv();
    options.execFd = fd; // its logging, which copies every reply, goes to /dev/null
    std::string error;
    if (!s.process.start({"kx-services"}, options, &error)) die(error);
    if (!kx::connectToService(s.conn, kx::DEFAULT_PIPE_DIR, TIMEOUT_MS, error)) die(error);
}

void stopService(Service& s) {
    kx::disconnect(s.conn);
    s.process.stop();
}

struct Timed {
    std::vector<double> ms; // request written to reply line read: what the pipe carries
    double parseMs = 0;     // the host's JSON parse of that line, which Velloran does in its own way
    size_t pngBytes = 0;
};

// `rounds` requests timed after one that warms up, each followed by one timed run of `peer`, so that
// both see the same load of the machine.
void timeService(Service& s, int w, int h, int rounds, Timed& t, const std::function<void()>& peer,
                 std::vector<double>& peerMs) {
    std::string line;
    const auto request = [&] {
        const std::string uuid = kx::newUuid();
        if (!kx::sendMessage(s.conn, kx::regionScreenshotMessage(uuid, 0, 0, w, h))) die("service gone");
        do {
            if (kx::readLine(s.conn, line, TIMEOUT_MS) != kx::ReadStatus::Line) die("no capture");
        } while (line.find(uuid) == std::string::npos);
    };
    request();
    for (int i = 0; i < rounds; ++i) {
        t.ms.push_back(timeMs(1, request));
        if (peer) peerMs.push_back(timeMs(1, peer));
    }
    nlohmann::json reply;
    t.parseMs = timeMs(3, [&] { reply = nlohmann::json::parse(line); });
    std::string png;
    if (!kx::decodeBase64(reply["data"].value("base64", ""), png) || png.empty()) die("no PNG in the reply");
    t.pngBytes = png.size();
}

// libpng with one filter for every row at zlib's level 1: the fixed-filter candidate.
std::string libpngFixedUp(const std::vector<unsigned char>& rgba, int w, int h) {
    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) die("libpng failed");
    png_set_write_fn(
        png, &out,
        [](png_structp p, png_bytep data, size_t n) {
            static_cast<std::string*>(png_get_io_ptr(p))->append(reinterpret_cast<const char*>(data), n);
        },
        nullptr);
    png_set_IHDR(png, info, png_uint_32(w), png_uint_32(h), 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, 0, PNG_FILTER_UP);
    png_set_compression_level(png, 1);
    png_write_info(png, info);
    for (int y = 0; y < h; ++y)
        png_write_row(png, rgba.data() + size_t(y) * size_t(w) * 4);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

// The rows PNG's "sub" filter makes of RGBA pixels, as a whole-image compressor is given them.
std::vector<unsigned char> subFiltered(const std::vector<unsigned char>& rgba, int w, int h) {
    const size_t rowBytes = size_t(w) * 4;
    std::vector<unsigned char> out((rowBytes + 1) * size_t(h));
    for (size_t y = 0; y < size_t(h); ++y) {
        const unsigned char* row = rgba.data() + y * rowBytes;
        unsigned char* line = out.data() + y * (rowBytes + 1);
        line[0] = 1;
        for (size_t i = 0; i < rowBytes; ++i)
            line[1 + i] = (unsigned char)(row[i] - (i >= 4 ? row[i - 4] : 0));
    }
    return out;
}

// The encoders that were candidates, on the same RGBA pixels: today's gdk-pixbuf, libpng with a fixed
// filter, libdeflate's whole-image compression of the "sub" rows (the zlib stream alone, at the levels
// the earlier encoder chose between), and ours on ISA-L with each filter choice.
void benchEncoders(const std::vector<unsigned char>& rgba, int w, int h, int rounds) {
    std::printf("  encoders on the same pixels, ms and bytes:\n");
    GdkPixbuf* pixbuf =
        gdk_pixbuf_new_from_data(rgba.data(), GDK_COLORSPACE_RGB, TRUE, 8, w, h, w * 4, nullptr, nullptr);
    gsize size = 0;
    const double pixbufMs = timeMs(rounds, [&] {
        gchar* buffer = nullptr;
        gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", nullptr, "compression", "1", nullptr);
        g_free(buffer);
    });
    g_object_unref(pixbuf);
    std::printf("    gdk-pixbuf level 1 (today)      %7.1f %9zu\n", pixbufMs, size_t(size));
    std::string png;
    const double upMs = timeMs(rounds, [&] { png = libpngFixedUp(rgba, w, h); });
    std::printf("    libpng, up filter, level 1      %7.1f %9zu  %.2fx faster than today\n", upMs, png.size(),
                pixbufMs / upMs);
    const std::vector<unsigned char> sub = subFiltered(rgba, w, h);
    std::vector<unsigned char> packed(sub.size() + sub.size() / 100 + 1024);
    for (int level : {1, 3}) {
        libdeflate_compressor* c = libdeflate_alloc_compressor(level);
        size_t n = 0;
        const double ms = timeMs(rounds, [&] {
            n = libdeflate_zlib_compress(c, sub.data(), sub.size(), packed.data(), packed.size());
        });
        libdeflate_free_compressor(c);
        std::printf("    libdeflate, sub, level %d         %7.1f %9zu  %.2fx faster than today\n", level, ms,
                    n, pixbufMs / ms);
    }
    const std::pair<const char*, PngFilter> filters[] = {
        {"up", PngFilter::Up},
        {"sub", PngFilter::Sub},
        {"paeth", PngFilter::Paeth},
        {"cheapest of none/sub/up per row", PngFilter::Cheapest}};
    for (const auto& [name, filter] : filters) {
        const double ms = timeMs(rounds, [&, filter = filter] {
            png = png_encodeRgba(
                w, h,
                [&](int y, unsigned char* out) {
                    std::memcpy(out, rgba.data() + size_t(y) * size_t(w) * 4, size_t(w) * 4);
                    return true;
                },
                filter);
        });
        std::printf("    ISA-L level 1, %-17s%s %7.1f %9zu  %.2fx faster than today\n", name,
                    filter == PNG_FILTER_DEFAULT ? "*" : " ", ms, png.size(), pixbufMs / ms);
    }
}

void benchCapture(Bench& b, const char* name, const ScreenPixels& screen, int w, int h) {
    b.client.putPixels(0, 0, 1920, 1080, screen);
    const int rounds = w * h > 1000000 ? 10 : 30;
    const std::string geometry = std::to_string(w) + "x" + std::to_string(h) + "+0+0";
    const auto runMaim = [&] {
        if (!b.x.run({"maim", "-g", geometry, "/tmp/maim.png"}).ok()) die("maim failed");
    };
    // The builds take turns, a few rounds each time, and maim runs after every request: all see the
    // same load of the machine.
    Timed service, today;
    std::vector<double> maimMs;
    const int turns = 5;
    for (int turn = 0; turn < turns; ++turn) {
        timeService(b.service, w, h, rounds / turns, service, runMaim, maimMs);
        if (b.todayFd < 0) continue;
        stopService(b.service);
        Service old;
        startService(b, b.todayFd, old);
        timeService(old, w, h, rounds / turns, today, runMaim, maimMs);
        stopService(old);
        startService(b, b.binaryFd, b.service);
    }
    const double kx = percentile(service.ms, 0.5), before = today.ms.empty() ? 0 : percentile(today.ms, 0.5);
    const double maim = percentile(maimMs, 0.5);
    const size_t maimBytes = fileSize("/tmp/maim.png");

    // The steps, in-process on the same pixels.
    Display* dpy = b.client.display();
    XImage* img = nullptr;
    const double read = timeMs(rounds, [&] {
        if (img) XDestroyImage(img);
        img = XGetImage(dpy, DefaultRootWindow(dpy), 0, 0, unsigned(w), unsigned(h), AllPlanes, ZPixmap);
    });
    std::vector<unsigned char> rgba(size_t(w) * size_t(h) * 4);
    const double direct = timeMs(rounds, [&] { x11_convertImageDirect(img, rgba.data(), w * 4); });
    const double generic =
        timeMs(std::max(1, rounds / 5), [&] { x11_convertImageGeneric(img, rgba.data(), w * 4); });
    std::string png;
    const double convertEncode = timeMs(rounds, [&] { png = x11_encodeImagePng(img); });
    XDestroyImage(img);
    std::string base64;
    const double base64Ms = timeMs(rounds, [&] {
        base64 = base64Encode(reinterpret_cast<const unsigned char*>(png.data()), png.size());
    });
    const double call = timeMs(rounds, [&] { png = x11_capturePng(0, 0, w, h); });

    std::printf(
        "\ncapture %dx%d, %s screen, median of %d, ms (to the reply line read; the host's parse apart)\n", w,
        h, name, rounds);
    std::printf(
        "  kx-services request->reply %8.1f   maim -g %.1f: kx %.2fx faster; host's JSON parse %.1f\n", kx,
        maim, maim / kx, service.parseMs);
    if (before > 0)
        std::printf(
            "  today's build, the same    %8.1f   maim: today %.2fx faster; new / today %.2f; parse %.1f\n",
            before, maim / before, kx / before, today.parseMs);
    std::printf("  split: the capture call %.1f (read %.1f, convert and encode %.1f, of which convert %.1f;\n"
                "         XGetPixel conversion %.1f), Base64 %.1f; logging, reply JSON and pipe %.1f\n",
                call, read, convertEncode, direct, generic, base64Ms, kx - call - base64Ms);
    std::printf("  PNG bytes: kx %zu, maim %zu (kx %.2fx)", service.pngBytes, maimBytes,
                double(service.pngBytes) / double(maimBytes));
    if (before > 0)
        std::printf(", today %zu (%.2fx maim)", today.pngBytes, double(today.pngBytes) / double(maimBytes));
    std::printf("\n");
    if (w * h > 1000000) benchEncoders(rgba, w, h, 5);
}

// Peak resident memory of a fresh service after one full-HD capture of each screen.
void benchMemory(Bench& b, const std::vector<std::pair<const char*, ScreenPixels>>& screens) {
    std::printf("\npeak RSS of a fresh service after full-HD captures, MiB\n");
    const std::pair<const char*, int> builds[] = {{"kx-services", b.binaryFd}, {"today's build", b.todayFd}};
    stopService(b.service);
    for (const auto& [build, fd] : builds) {
        if (fd < 0) continue;
        Service s;
        startService(b, fd, s);
        std::printf("  %-14s at start %.1f", build, peakRssMiB(s.process.pid()));
        for (const auto& [name, screen] : screens) {
            b.client.putPixels(0, 0, 1920, 1080, screen);
            Timed t;
            std::vector<double> none;
            timeService(s, 1920, 1080, 0, t, nullptr, none);
            std::printf(", after %s %.1f", name, peakRssMiB(s.process.pid()));
        }
        std::printf("\n");
        stopService(s);
    }
    startService(b, b.binaryFd, b.service);
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
            if (XGetWindowProperty(dpy, root, active, 0, 1, False, AnyPropertyType, &type, &format, &items,
                                   &after, &data) == Success &&
                data) {
                seen = items == 1 && format == 32 && *reinterpret_cast<unsigned long*>(data) == w;
                XFree(data);
            }
        }
        nlohmann::json report;
        if (!kx::awaitMessage(b.service.conn, "applicationChanged", report, TIMEOUT_MS))
            die("no focus report");
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

    const double before = cpuSeconds(b.service.process.pid());
    const auto start = Clock::now();
    sleep(unsigned(idleSeconds));
    const double seconds = msSince(start) / 1000;
    const double cpu = cpuSeconds(b.service.process.pid()) - before;
    std::printf("idle, a window focused, %.0f s: %.3f s of CPU = %.3f%% of a core\n", seconds, cpu,
                100 * cpu / seconds);
}

void benchList(Bench& b) {
    nlohmann::json entries;
    const auto request = [&] {
        if (!kx::requestApplicationList(b.service.conn, entries, TIMEOUT_MS)) die("no list");
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
    std::string binary = KX_SERVICES_BINARY, today;
    int idleSeconds = 60;
    bool captureOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--idle-seconds" && i + 1 < argc)
            idleSeconds = std::atoi(argv[++i]);
        else if (arg == "--today" && i + 1 < argc)
            today = argv[++i];
        else if (arg == "--capture-only")
            captureOnly = true;
        else if (arg.rfind("--", 0) != 0)
            binary = arg;
        else
            die("usage: bench_x11 [KX_SERVICES_BINARY] [--today BINARY] [--capture-only] [--idle-seconds N]");
    }
    Bench b;
    b.binaryFd = open(binary.c_str(), O_RDONLY | O_CLOEXEC);
    if (b.binaryFd < 0) die(binary + " cannot be opened");
    if (!today.empty() && (b.todayFd = open(today.c_str(), O_RDONLY | O_CLOEXEC)) < 0)
        die(today + " cannot be opened");
    std::string error;
    if (!harness::usePrivateNamespaces(error)) die(error);

    if (!b.x.start({}, error)) die(error);
    if (!b.client.open(b.x.display())) die("cannot open " + b.x.display());
    setenv("DISPLAY", b.x.display().c_str(), 1);
    startService(b, b.binaryFd, b.service);

    std::printf("one Xvfb 1920x1080x24 with openbox; kx-services %s%s%s\n", binary.c_str(),
                today.empty() ? "" : ", today's build ", today.c_str());
    const std::vector<std::pair<const char*, ScreenPixels>> screens = {
        {"desktop-like", desktopLike(1920, 1080)},
        {"noise", noise(1920, 1080)},
        {"photo-like", photoLike(1920, 1080)}};
    for (const auto& [name, screen] : screens) {
        benchCapture(b, name, screen, 1920, 1080);
        if (screen != screens[1].second) benchCapture(b, name, screen, 256, 256);
    }
    benchMemory(b, screens);

    if (!captureOnly) {
        std::vector<Window> windows;
        for (int i = 0; i < 50; ++i)
            windows.push_back(
                b.client.createWindow({{"_NET_WM_PID", harness::cardinal(getpid())},
                                       {"_NET_WM_NAME", harness::text("window " + std::to_string(i))}},
                                      true));
        harness::waitFor(
            [&] {
                return b.x.run({"wmctrl", "-l"}).out.find("window 49") != std::string::npos;
            },
            TIMEOUT_MS);
        benchList(b);
        benchFocus(b, windows, idleSeconds);
    }
    stopService(b.service);
    return 0;
}
