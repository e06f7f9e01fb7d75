#include "evdev_reader.h"

#include "process.h"

#include <cerrno>
#include <climits>
#include <fstream>

#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace harness {

namespace {

// /dev/input/eventN of the device named `name`, or "".
std::string findDevice(const std::string& name) {
    DIR* dir = opendir("/sys/class/input");
    if (!dir) return "";
    std::string found;
    while (const dirent* entry = readdir(dir)) {
        const std::string node = entry->d_name;
        if (node.rfind("event", 0) != 0) continue;
        std::string text;
        std::getline(std::ifstream("/sys/class/input/" + node + "/device/name"), text);
        if (text == name) found = "/dev/input/" + node;
    }
    closedir(dir);
    return found;
}

std::vector<int> bitsOf(int fd, int type, int max) {
    std::vector<unsigned char> bits(size_t(max / CHAR_BIT + 1));
    std::vector<int> set;
    if (ioctl(fd, EVIOCGBIT(type, bits.size()), bits.data()) < 0) return set;
    for (int i = 0; i <= max; ++i)
        if (bits[size_t(i / CHAR_BIT)] & (1 << (i % CHAR_BIT))) set.push_back(i);
    return set;
}

} // namespace

void EvdevReader::start(const std::string& name) {
    stop();
    stopping_ = false;
    opened_ = false;
    events.clear();
    thread_ = std::thread(&EvdevReader::run, this, name);
}

void EvdevReader::stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
}

bool EvdevReader::waitForDevice(EvdevIdentity& identity, int timeoutMs) {
    if (!waitFor([&] { return opened_.load(); }, timeoutMs)) return false;
    identity = identity_;
    return true;
}

void EvdevReader::run(std::string name) {
    int fd = -1;
    while (!stopping_ && fd < 0) {
        // The node appears a moment after the sysfs entry.
        const std::string path = findDevice(name);
        if (!path.empty()) fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) sleepMs(2);
    }
    if (fd < 0) return;
    char text[256] = {};
    ioctl(fd, EVIOCGNAME(sizeof text - 1), text);
    input_id id{};
    ioctl(fd, EVIOCGID, &id);
    identity_ = {text,
                 id.bustype,
                 id.vendor,
                 id.product,
                 id.version,
                 bitsOf(fd, 0, EV_MAX),
                 bitsOf(fd, EV_KEY, KEY_MAX)};
    opened_ = true;
    while (!stopping_) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 20) <= 0) continue;
        input_event ev[64];
        const ssize_t n = read(fd, ev, sizeof ev);
        if (n < 0 && errno == EAGAIN) continue;
        if (n <= 0) break; // the device is gone
        for (ssize_t i = 0; i < n / ssize_t(sizeof ev[0]); ++i)
            events.push({ev[i].type, ev[i].code, ev[i].value});
    }
    close(fd);
}

} // namespace harness
