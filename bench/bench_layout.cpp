// How soon the Wayland keys follow a layout switch: from the desktop's signal to the service's log line,
// which it writes right after publishing the new layout, beside a peer that only listens for the same
// signal (the floor: the signal reaching any other client).
//  - gnome: GNOME's input-source settings (GSettings' keyfile backend) switched 100 times in this process;
//    peer `gsettings monitor`.
//  - sway: sway's own layout switch over its IPC, 50 times, inside the qemu guest of the tests where sway
//    reads the service's virtual keyboard through libinput; peer `swaymsg -t subscribe`. Absolute times
//    are those of an emulated CPU (TCG): compare the ratio.
//
// Usage (as root): bench_layout [KX_SERVICES_BINARY] [gnome] [sway]   (default: both)

#include "bench_frame.h"
#include "bench_stats.h"
#include "process.h"
#include "script_process.h"
#include "uinput_guest.h"

#include <cstdlib>
#include <cstring>

#include <gio/gio.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using bench::Clock;
using bench::msSince;
using bench::percentile;
const char GUEST_FLAG[] = "KX_IN_LAYOUT_BENCH_GUEST";
const int TIMEOUT_MS = 60000;

[[noreturn]] void die(const std::string& message) {
    throw std::runtime_error(message);
}

// Lines of a growing file, counted from where the last look left off.
struct Tail {
    std::string path;
    size_t seen = 0;
    double ms = -1;
    // Notes the milliseconds since `start` when a new line holds `text`, and consumes that line.
    bool look(const std::string& text, Clock::time_point start) {
        if (ms >= 0) return true;
        const std::string all = harness::readWholeFile(path);
        const size_t at = all.find(text, seen);
        if (at == std::string::npos) return false;
        ms = msSince(start);
        seen = all.find('\n', at) + 1;
        return true;
    }
    void wait(const std::string& text) {
        ms = -1;
        if (!harness::waitFor([&] { return look(text, Clock::now()); }, TIMEOUT_MS))
            die("no line with '" + text + "' in " + path);
    }
};

// Both lines, each timed as it appears: the service's and the peer's, watched in one loop.
void waitBoth(Tail& a, const std::string& aText, Tail& b, const std::string& bText, Clock::time_point start,
              std::vector<double>& aMs, std::vector<double>& bMs) {
    a.ms = b.ms = -1;
    if (!harness::waitFor([&] { return a.look(aText, start) & b.look(bText, start); }, TIMEOUT_MS))
        die("no line with '" + aText + "' in " + a.path + " or none with '" + bText + "' in " + b.path);
    aMs.push_back(a.ms);
    bMs.push_back(b.ms);
}

void report(const char* what, const std::vector<double>& service, const std::vector<double>& peer,
            const char* peerName) {
    const double s50 = percentile(service, 0.5), p50 = percentile(peer, 0.5);
    std::printf(
        "%s: service p50 %.1f ms p99 %.1f ms max %.1f ms | %s p50 %.1f ms p99 %.1f ms | ratio p50 %.2fx\n",
        what, s50, percentile(service, 0.99), percentile(service, 1.0), peerName, p50, percentile(peer, 0.99),
        s50 / p50);
}

void startLogged(harness::Process& process, const std::vector<std::string>& argv,
                 const std::vector<std::string>& env, const std::string& out, int execFd = -1) {
    harness::SpawnOptions options;
    options.env = env;
    options.outPath = out;
    options.errPath = out + ".err";
    options.execFd = execFd;
    std::string error;
    if (!process.start(argv, options, &error)) die(argv[0] + ": " + error);
}

void benchGnome(const bench::Run& run) {
    setenv("GSETTINGS_BACKEND", "keyfile", 1);
    setenv("XDG_CONFIG_HOME", "/tmp/config", 1);
    GSettings* settings = g_settings_new("org.gnome.desktop.input-sources");
    g_settings_set_value(settings, "sources", g_variant_new_parsed("[('xkb', 'de'), ('xkb', 'fr')]"));
    g_settings_set_value(settings, "mru-sources", g_variant_new_parsed("[('xkb', 'de')]"));
    g_settings_sync();
    std::vector<std::string> env = harness::baseEnv();
    env.insert(env.end(), {"XDG_SESSION_TYPE=wayland", "XDG_CURRENT_DESKTOP=GNOME",
                           "GSETTINGS_BACKEND=keyfile", "XDG_CONFIG_HOME=/tmp/config"});
    Tail service{"/tmp/service.out"}, peer{"/tmp/peer.out"};
    harness::Process kx, monitor;
    startLogged(kx, {run.binary}, env, service.path, run.binaryFd);
    startLogged(monitor,
                {"stdbuf", "-oL", "gsettings", "monitor", "org.gnome.desktop.input-sources", "mru-sources"},
                env, peer.path);
    service.wait("Keys follow the keyboard layout de");
    harness::sleepMs(500); // the monitor's start
    std::vector<double> ours, theirs;
    for (int i = 0; i < 100; ++i) {
        const char* layout = i % 2 ? "de" : "fr";
        const auto start = Clock::now();
        g_settings_set_value(settings, "mru-sources",
                             g_variant_new_parsed(i % 2 ? "[('xkb', 'de')]" : "[('xkb', 'fr')]"));
        g_settings_sync();
        waitBoth(service, std::string("Keys follow the keyboard layout ") + layout + " ", peer,
                 std::string("'") + layout + "'", start, ours, theirs);
    }
    g_object_unref(settings);
    report("GNOME input-source switch -> keys follow (100 switches)", ours, theirs, "gsettings monitor");
}

// An i3-ipc RUN_COMMAND written straight to sway's socket: no process start in the measured time.
void swayCommand(int fd, const std::string& command) {
    std::string message("i3-ipc", 6);
    const uint32_t header[2] = {uint32_t(command.size()), 0};
    message.append(reinterpret_cast<const char*>(header), sizeof header);
    message += command;
    if (write(fd, message.data(), message.size()) != ssize_t(message.size())) die("sway's IPC: write");
    char reply[4096];
    if (read(fd, reply, sizeof reply) <= 0) die("sway's IPC: no reply");
}

void benchSwayInGuest(const bench::Run& run) {
    const char* sock = std::getenv("SWAYSOCK");
    std::vector<std::string> env = harness::baseEnv();
    for (const char* name : {"SWAYSOCK", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"})
        env.push_back(std::string(name) + "=" + std::getenv(name));
    env.push_back("XDG_SESSION_TYPE=wayland");
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, sock, sizeof address.sun_path - 1);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) die("sway's IPC");
    swayCommand(fd, R"(input type:keyboard xkb_layout "us,de")");
    Tail service{"/tmp/service.out"}, peer{"/tmp/peer.out"};
    harness::Process kx, monitor;
    startLogged(kx, {run.binary}, env, service.path, run.binaryFd);
    startLogged(monitor, {"stdbuf", "-oL", "swaymsg", "-t", "subscribe", "-m", R"(["input"])"}, env,
                peer.path);
    service.wait("Keys follow the keyboard layout English (US) (sway)");
    std::vector<double> ours, theirs;
    for (int i = 0; i < 50; ++i) {
        const int index = (i + 1) % 2;
        const auto start = Clock::now();
        swayCommand(fd, "input type:keyboard xkb_switch_layout " + std::to_string(index));
        // The peer's is sway's first event of the switch (it sends one per keyboard).
        waitBoth(service, index ? "layout German (sway)" : "layout English (US) (sway)", peer,
                 index ? "\"xkb_active_layout_index\": 1" : "\"xkb_active_layout_index\": 0", start, ours,
                 theirs);
    }
    close(fd);
    report("sway layout switch -> keys follow (50 switches, in the TCG guest)", ours, theirs,
           "swaymsg -t subscribe");
}

} // namespace

int main(int argc, char** argv) {
    if (std::getenv(GUEST_FLAG)) return bench::runBenchmark("bench_layout", argc, argv, benchSwayInGuest);
    return bench::runBenchmark("bench_layout", argc, argv, [&](const bench::Run& run) {
        if (run.wanted("gnome")) benchGnome(run);
        if (!run.wanted("sway")) return;
        const std::string command = harness::selfInGuest(GUEST_FLAG, run.binary, "sway_guest.sh");
        const harness::GuestRun guest = harness::runInUinputGuest(command, 400000);
        if (guest.status != 0) die("the guest: " + guest.error + "\n" + guest.output);
        const size_t at = guest.output.find("sway layout switch");
        std::printf("%s", at == std::string::npos ? guest.output.c_str() : guest.output.substr(at).c_str());
    });
}
