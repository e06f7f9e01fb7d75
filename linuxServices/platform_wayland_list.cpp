// A Wayland session shows no other application's windows, so the list is every process of the
// service's own user whose executable can be read.
#include "platform_common.h"
#include "platform_wayland.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Reads at most `size` bytes of a small /proc file in one go; -1 when it cannot be opened.
ssize_t readSmallFile(const std::string& path, char* buffer, size_t size) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t n;
    do {
        n = read(fd, buffer, size);
    } while (n < 0 && errno == EINTR);
    close(fd);
    return n;
}

// The real user ID: the first number of the "Uid:" line. False when the file has no such line.
bool readRealUid(const std::string& dir, uid_t& uid) {
    // The Uid line comes within the first few hundred bytes; a status file is about 1.5 KiB.
    char buffer[4096];
    const ssize_t n = readSmallFile(dir + "/status", buffer, sizeof buffer - 1);
    if (n <= 0) return false;
    buffer[n] = '\0';
    for (const char* line = buffer;;) {
        if (std::strncmp(line, "Uid:", 4) == 0) {
            uid = uid_t(std::strtoul(line + 4, nullptr, 10));
            return true;
        }
        line = std::strchr(line, '\n');
        if (!line) return false;
        ++line;
    }
}

std::string trimmed(const std::string& text) {
    const char* const SPACE = " \t\r\n";
    const size_t first = text.find_first_not_of(SPACE);
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(SPACE) - first + 1);
}

} // namespace

void getOpenApplicationsWayland(std::vector<nlohmann::json>& outVec) {
    DIR* proc = opendir("/proc");
    if (!proc) return;
    const uid_t self = getuid();
    while (const dirent* entry = readdir(proc)) {
        if (entry->d_type != DT_DIR) continue;
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0) continue;

        const std::string dir = std::string("/proc/") + entry->d_name;
        uid_t uid;
        if (!readRealUid(dir, uid) || uid != self) continue;

        const std::string path = procExe(pid);
        if (path.empty()) continue; // kernel threads, processes gone meanwhile
        std::string title = trimmed(procComm(pid));
        if (title.empty()) title = basenameOf(path);
        outVec.push_back({{"title", std::move(title)}, {"processpath", path}, {"platform", "wayland"}});
    }
    closedir(proc);
}
