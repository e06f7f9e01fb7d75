#include "platform_common.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <stdexcept>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {
const char BASE64_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
} // namespace

void writeWholeLine(FILE* stream, std::string line) {
    writeLineParts(stream, {line});
}

namespace {

// SIGPIPE at its default action (ignored survives exec), blocked or unblocked in this thread.
void setBrokenPipe(int how) {
    signal(SIGPIPE, SIG_DFL);
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(how, &pipeSignal, nullptr);
}

// The end a reader's departure has always meant.
[[noreturn]] void endByBrokenPipe() {
    setBrokenPipe(SIG_UNBLOCK); // the write's own signal, pending, ends the process here
    raise(SIGPIPE);
    _exit(128 + SIGPIPE);
}

} // namespace

void holdBackBrokenPipe() {
    setBrokenPipe(SIG_BLOCK);
}

void writeLineParts(FILE* stream, std::initializer_list<std::string_view> parts) {
    int failure = 0;
    const auto note = [&](bool ok) {
        if (!ok && !failure) failure = errno;
    };
    // Held across the parts, so that no other thread's line comes between them.
    flockfile(stream);
    for (std::string_view part : parts)
        note(fwrite(part.data(), 1, part.size(), stream) == part.size());
    note(fputc('\n', stream) != EOF);
    note(fflush(stream) == 0);
    funlockfile(stream);
    if (failure == EPIPE) endByBrokenPipe();
}

std::string base64Encode(const unsigned char* data, size_t len) {
    // Sized once and filled through a pointer: screenshots are megabytes, and appending one
    // character at a time halves the throughput.
    std::string out(4 * ((len + 2) / 3), '\0');
    char* o = &out[0];
    size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        const unsigned group = (unsigned(data[i]) << 16) | (unsigned(data[i + 1]) << 8) | data[i + 2];
        *o++ = BASE64_ALPHABET[(group >> 18) & 63];
        *o++ = BASE64_ALPHABET[(group >> 12) & 63];
        *o++ = BASE64_ALPHABET[(group >> 6) & 63];
        *o++ = BASE64_ALPHABET[group & 63];
    }
    const size_t rest = len - i;
    if (rest > 0) {
        unsigned group = unsigned(data[i]) << 16;
        if (rest == 2) group |= unsigned(data[i + 1]) << 8;
        *o++ = BASE64_ALPHABET[(group >> 18) & 63];
        *o++ = BASE64_ALPHABET[(group >> 12) & 63];
        *o++ = rest == 2 ? BASE64_ALPHABET[(group >> 6) & 63] : '=';
        *o++ = '=';
    }
    return out;
}

std::string basenameOf(const std::string& s) {
    const size_t slash = s.rfind('/');
    return slash == std::string::npos ? s : s.substr(slash + 1);
}

std::string printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const auto escape = [&out](unsigned char u) {
        static const char HEX[] = "0123456789abcdef";
        out += "\\x";
        out.push_back(HEX[u >> 4]);
        out.push_back(HEX[u & 15]);
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char u = static_cast<unsigned char>(text[i]);
        // U+0080 to U+009F: terminals take some of them as controls, as they do C0.
        if (u == 0xC2 && i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80) {
            escape(u);
            escape(static_cast<unsigned char>(text[++i]));
        } else if (u >= 0x20 && u != 0x7F) {
            out.push_back(text[i]);
        } else if (u == '\n') {
            out += "\\n";
        } else if (u == '\r') {
            out += "\\r";
        } else if (u == '\t') {
            out += "\\t";
        } else {
            escape(u);
        }
    }
    return out;
}

std::string procExe(long pid) {
    char link[4096];
    const ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), link, sizeof link - 1);
    return n > 0 ? std::string(link, size_t(n)) : std::string();
}

std::string procComm(long pid) {
    std::string name;
    const int fd = open(("/proc/" + std::to_string(pid) + "/comm").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return name;
    char text[256];
    const ssize_t n = read(fd, text, sizeof text);
    close(fd);
    if (n > 0) name.assign(text, size_t(n));
    return name.substr(0, name.find('\n'));
}

void logOut(const std::string& line) {
    writeWholeLine(stdout, line);
}
void logErr(const std::string& line) {
    writeWholeLine(stderr, line);
}

int32_t readInt32Member(const nlohmann::json& data, const char* name) {
    const nlohmann::json& value = data.at(name);
    if (value.is_number_unsigned()) return int32_t(uint32_t(value.get<uint64_t>()));
    if (value.is_number_integer()) return int32_t(uint32_t(uint64_t(value.get<int64_t>())));
    if (value.is_number_float()) {
        // A plain cast of a double outside the int range is undefined behaviour; wrap it the
        // same way as an out-of-range integer instead.
        const double whole = std::trunc(value.get<double>());
        if (!std::isfinite(whole)) throw std::out_of_range(std::string("number out of range: ") + name);
        double low = std::fmod(whole, 4294967296.0);
        if (low < 0) low += 4294967296.0;
        return int32_t(uint32_t(low));
    }
    if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
    return value.get<int32_t>(); // throws the library's "type must be number" error
}
