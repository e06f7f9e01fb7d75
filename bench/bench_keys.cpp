// Key injection: from writing a "keyDown"/"keyUp" line to the X server delivering the raw key event,
// next to a bare XTest client (the floor), a FIFO echo (the pipe's share) and `xdotool key` per key
// (what a user would otherwise script); the sustained rate with none lost; and, in a qemu guest with
// Debian's kernel, the events per second the virtual keyboard takes and an evdev reader reads back.
//
// With --baseline, another kx-services binary (the service as it was) takes turns with this one.
// Also: how soon a layout switch on the X server is followed.
//
// Usage: bench_keys [--presses N] [--xdotool N] [--rate N] [--baseline KX_SERVICES] [--no-guest]
//        (root: private namespaces)

#include "bench_stats.h"
#include "evdev_reader.h"
#include "kx_client.h"
#include "process.h"
#include "raw_keys.h"
#include "uinput_guest.h"
#include "x_server.h"
#include "x_test_client.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <linux/input.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace {

using bench::Clock;
using bench::percentile;
const char GUEST_FLAG[] = "KX_BENCH_IN_GUEST";
const int TIMEOUT_MS = 10000;
const int KEYCODE_A = 38; // what vk 0x41 presses under the us layout

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "bench_keys: %s\n", message.c_str());
    std::exit(1);
}

double micros(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::micro>(to - from).count();
}

// Waits for the raw event that `inject` causes and returns how long it took, in microseconds.
template <typename Inject>
double timeKey(harness::RawKeySource& keys, int keycode, bool press, Inject inject) {
    const auto start = Clock::now();
    inject();
    harness::RawKey key{};
    do {
        if (!keys.next(key, TIMEOUT_MS)) die("a key never reached the X server");
    } while (key.keycode != keycode || key.press != press);
    return micros(start, Clock::now());
}

struct Row {
    const char* name;
    std::vector<double> us;
};

void printRows(const std::vector<Row>& rows, double goalBase) {
    std::printf("%-34s %9s %9s %9s\n", "latency, microseconds", "p50", "p99", "samples");
    for (const Row& r : rows)
        if (!r.us.empty())
            std::printf("%-34s %9.1f %9.1f %9zu\n", r.name, percentile(r.us, 0.5), percentile(r.us, 0.99),
                        r.us.size());
    const double service = percentile(rows[2].us, 0.5);
    std::printf("kx-services p50 / (XTest p50 + echo p50) = %.2f (goal: at most 1.5)\n", service / goalBase);
    std::printf("xdotool p50 / kx-services p50 = %.1f (goal: at least 20)\n",
                percentile(rows[3].us, 0.5) / service);
    if (!rows[4].us.empty())
        std::printf("kx-services p50 / baseline p50 = %.2f, p99 / p99 = %.2f (goal: at most 1.1)\n",
                    service / percentile(rows[4].us, 0.5),
                    percentile(rows[2].us, 0.99) / percentile(rows[4].us, 0.99));
}

// A child that sends back every byte it reads: what the pipe alone costs a command.
pid_t startEcho(int& toEcho, int& fromEcho) {
    int down[2], up[2];
    if (pipe(down) != 0 || pipe(up) != 0) die("pipe");
    const pid_t pid = fork();
    if (pid == 0) {
        close(down[1]);
        close(up[0]);
        char buffer[4096];
        for (ssize_t n; (n = read(down[0], buffer, sizeof buffer)) > 0;)
            if (write(up[1], buffer, size_t(n)) != n) break;
        _exit(0);
    }
    close(down[0]);
    close(up[1]);
    toEcho = down[1];
    fromEcho = up[0];
    return pid;
}

// A keymap of two layouts, the group locked as a desktop's switch does: the time from the switch to
// the server delivering the first key under the new layout (vk Z: the Y position in German).
void benchGroupSwitch(const harness::XServer& x, harness::RawKeySource& keys, kx::Connection& conn) {
    if (!x.run({"setxkbmap", "-layout", "us,de"}).ok()) die("setxkbmap us,de failed");
    harness::XTestClient user;
    if (!user.open(x.display())) die("cannot open " + x.display());
    std::vector<double> us;
    for (int i = 0; i < 200; ++i) {
        const unsigned group = (i + 1) % 2;
        const int keycode = group == 1 ? 29 : 52;
        us.push_back(timeKey(keys, keycode, true, [&] {
            if (!user.lockGroup(group)) die("the group was not locked");
            if (!kx::sendKey(conn, true, 'Z', 1)) die("kx-services does not read");
        }));
        kx::sendKey(conn, false, 'Z', 1);
        harness::RawKey release{};
        if (!keys.next(release, TIMEOUT_MS) || release.keycode != keycode) die("the release went astray");
    }
    std::printf("group switch to the first key under it: p50 %.1f us, p99 %.1f us, %zu switches (goal: "
                "at most 100 ms)\n",
                percentile(us, 0.5), percentile(us, 0.99), us.size());
    if (!x.run({"setxkbmap", "-layout", "us"}).ok()) die("setxkbmap us failed");
}

void benchX11(int presses, int xdotoolKeys, int rateKeys, const std::string& baseline) {
    harness::XServer x;
    harness::XServerOptions options;
    options.windowManager = false;
    std::string error;
    if (!x.start(options, error)) die(error);
    harness::RawKeySource keys;
    if (!keys.open(x.display(), error)) die(error);

    std::vector<Row> rows = {{"bare XTest client (floor)", {}},
                             {"FIFO echo, one line", {}},
                             {"kx-services keyDown/keyUp line", {}},
                             {"xdotool key --delay 0, per key", {}},
                             {"baseline kx-services, same line", {}}};
    Display* dpy = XOpenDisplay(x.display().c_str());
    if (!dpy) die("cannot open " + x.display());
    int toEcho = -1, fromEcho = -1;
    const pid_t echo = startEcho(toEcho, fromEcho);
    harness::Process service;
    kx::Connection conn;
    const auto startService = [&](const std::string& binary) {
        harness::SpawnOptions spawn;
        spawn.env = x.clientEnv();
        spawn.env.push_back("XDG_SESSION_TYPE=x11");
        if (!service.start({binary}, spawn, &error)) die(error);
        if (!kx::connectToService(conn, kx::DEFAULT_PIPE_DIR, TIMEOUT_MS, error)) die(error);
    };
    const auto stopService = [&] {
        kx::disconnect(conn);
        service.stop();
        std::filesystem::remove_all(kx::DEFAULT_PIPE_DIR); // for the next service's pipes
    };
    const std::string line = kx::keyMessage(true, 0x41, 1).dump() + "\n";

    // The three take turns, so that drift of the machine's load falls on all of them alike; a baseline
    // binary (the service as it was) takes turns with this one in rounds, as the pipes serve one at a time.
    const int rounds = baseline.empty() ? 1 : 10;
    for (int round = 0; round < rounds; ++round) {
        for (const std::string& binary : {std::string(KX_SERVICES_BINARY), baseline}) {
            if (binary.empty()) continue;
            Row& serviceRow = binary == baseline ? rows[4] : rows[2];
            startService(binary);
            for (int i = round * presses / rounds; i < (round + 1) * presses / rounds; ++i) {
                for (const bool press : {true, false}) {
                    rows[0].us.push_back(timeKey(keys, KEYCODE_A, press, [&] {
                        XTestFakeKeyEvent(dpy, KEYCODE_A, press, CurrentTime);
                        XFlush(dpy);
                    }));
                    char reply[4096];
                    const auto start = Clock::now();
                    if (write(toEcho, line.data(), line.size()) != ssize_t(line.size())) die("echo write");
                    for (size_t got = 0; got < line.size();) {
                        const ssize_t n = read(fromEcho, reply, sizeof reply);
                        if (n <= 0) die("echo read");
                        got += size_t(n);
                    }
                    rows[1].us.push_back(micros(start, Clock::now()));
                    serviceRow.us.push_back(timeKey(keys, KEYCODE_A, press, [&] {
                        if (!kx::sendKey(conn, press, 0x41, 1)) die("kx-services does not read");
                    }));
                }
            }
            if (round + 1 < rounds) stopService();
        }
    }
    if (!baseline.empty()) startService(KX_SERVICES_BINARY); // the rest is this binary's
    for (int i = 0; i < xdotoolKeys; ++i) {
        harness::Process xdotool;
        harness::SpawnOptions xdo;
        xdo.env = x.clientEnv();
        rows[3].us.push_back(timeKey(keys, KEYCODE_A, true, [&] {
            if (!xdotool.start({"xdotool", "key", "--delay", "0", "a"}, xdo, &error)) die(error);
        }));
        if (xdotool.wait(TIMEOUT_MS) == -1) die("xdotool did not end");
        harness::RawKey release{};
        keys.next(release, TIMEOUT_MS);
    }
    printRows(rows, percentile(rows[0].us, 0.5) + percentile(rows[1].us, 0.5));

    // Sustained: one thread injects A down, A up... as fast as it can; every event is checked at the server.
    const auto rate = [&](const char* name, const std::function<void(bool)>& inject) {
        const auto start = Clock::now();
        std::thread writer([&] {
            for (int i = 0; i < rateKeys; ++i)
                inject(i % 2 == 0);
        });
        int seen = 0;
        harness::RawKey key{};
        while (seen < rateKeys && keys.next(key, TIMEOUT_MS) && key.keycode == KEYCODE_A &&
               key.press == (seen % 2 == 0))
            ++seen;
        const double us = micros(start, Clock::now());
        writer.join();
        std::printf("%-34s %9.0f keys/s, %d of %d arrived in order\n", name, seen * 1e6 / us, seen, rateKeys);
    };
    rate("sustained, bare XTest client", [&](bool press) {
        XTestFakeKeyEvent(dpy, KEYCODE_A, press, CurrentTime);
        XFlush(dpy);
    });
    rate("sustained, kx-services", [&](bool press) { kx::sendKey(conn, press, 0x41, 1); });
    benchGroupSwitch(x, keys, conn);

    kx::disconnect(conn);
    service.stop();
    close(toEcho);
    close(fromEcho);
    waitpid(echo, nullptr, 0);
    XCloseDisplay(dpy);
}

// Inside the guest: commands in rounds of 8 keys, each round read back before the next, so that the
// reader's 64-event buffer never overflows and nothing is lost.
int guestRate(int keys) {
    harness::EvdevReader reader;
    reader.start("kx-services-virtual-kbd");
    harness::Process service;
    harness::SpawnOptions spawn;
    spawn.env = harness::baseEnv();
    spawn.env.push_back("XDG_SESSION_TYPE=wayland");
    std::string error;
    if (!service.start({KX_SERVICES_BINARY}, spawn, &error)) die(error);
    kx::Connection conn;
    harness::EvdevIdentity id;
    if (!kx::connectToService(conn, kx::DEFAULT_PIPE_DIR, 60000, error) || !reader.waitForDevice(id, 60000))
        die("no virtual keyboard: " + error);
    const auto start = Clock::now();
    size_t expected = 0;
    for (int i = 0; i < keys; i += 16) {
        std::string batch;
        for (int k = i; k < std::min(keys, i + 16); ++k)
            batch += kx::keyMessage(k % 2 == 0, 0x41, 1).dump() + "\n";
        batch.pop_back();
        expected += 2 * size_t(std::min(16, keys - i));
        if (!kx::sendLine(conn, batch)) die("kx-services does not read");
        if (!reader.events.waitForCount(expected, 60000)) die("events lost");
    }
    const double seconds = micros(start, Clock::now()) / 1e6;
    for (const auto& e : reader.events.all())
        if (e.type == EV_SYN && e.code == SYN_DROPPED) die("the reader dropped events");
    std::printf("guest: %zu events (EV_KEY + SYN_REPORT) written and read back in %.2f s: %.0f events/s\n",
                expected, seconds, double(expected) / seconds);
    kx::disconnect(conn);
    service.stop();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    int presses = 2000, xdotoolKeys = 300, rateKeys = 20000;
    std::string baseline;
    bool guest = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--presses" && i + 1 < argc)
            presses = std::atoi(argv[++i]);
        else if (arg == "--xdotool" && i + 1 < argc)
            xdotoolKeys = std::atoi(argv[++i]);
        else if (arg == "--rate" && i + 1 < argc)
            rateKeys = std::atoi(argv[++i]);
        else if (arg == "--baseline" && i + 1 < argc)
            baseline = argv[++i];
        else if (arg == "--no-guest")
            guest = false;
        else
            die("usage: bench_keys [--presses N] [--xdotool N] [--rate N] [--baseline KX_SERVICES] "
                "[--no-guest]");
    }
    if (getenv(GUEST_FLAG)) return guestRate(rateKeys);

    std::string error;
    if (!harness::usePrivateNamespaces(error)) die(error);
    std::printf("key injection on Xvfb: %d presses and %d releases each, xdotool %d keys\n", presses, presses,
                xdotoolKeys);
    benchX11(presses, xdotoolKeys, rateKeys, baseline);
    if (!guest) return 0;
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) die("cannot find this program");
    const harness::GuestRun run = harness::runInUinputGuest(
        "export " + std::string(GUEST_FLAG) + "=1; " + self + " --rate " + std::to_string(rateKeys), 600000);
    if (run.status != 0) die("the guest run failed: " + run.error + "\n" + run.output);
    std::printf("%s(TCG: an emulated CPU, so the guest figure is slower than a real machine would be)\n",
                run.output.c_str());
    return 0;
}
