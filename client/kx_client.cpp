#include "kx_client.h"

#include <glib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kx {

namespace {

using Clock = std::chrono::steady_clock;

void closeFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Opens a pipe end without ever blocking, retrying while the service has not yet made the pipe (ENOENT)
// or, for the write end, has not yet opened it for reading (ENXIO). Returns -1 with errno set otherwise.
int openWhenReady(const std::string& path, int flags, Clock::time_point deadline) {
    for (;;) {
        const int fd = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) return fd;
        const int err = errno;
        const bool retry = err == EINTR || err == ENOENT || (err == ENXIO && (flags & O_WRONLY));
        if (!retry || Clock::now() >= deadline) {
            errno = err;
            return -1;
        }
        if (err != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool isFifo(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}

template <typename Match>
bool awaitMatching(Connection& conn, Match matches, nlohmann::json& out, int timeoutMs,
                   std::vector<nlohmann::json>* passedOver) {
    const auto deadline = deadlineAfter(timeoutMs);
    std::string line;
    for (;;) {
        if (readLine(conn, line, msLeft(deadline)) != ReadStatus::Line) return false;
        nlohmann::json message = nlohmann::json::parse(line, nullptr, false);
        if (message.is_discarded()) continue;
        if (matches(message)) {
            out = std::move(message);
            return true;
        }
        if (passedOver) passedOver->push_back(std::move(message));
    }
}

} // namespace

Clock::time_point deadlineAfter(int timeoutMs) {
    return timeoutMs < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeoutMs);
}

int msLeft(Clock::time_point deadline) {
    if (deadline == Clock::time_point::max()) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return int(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

bool connectToService(Connection& conn, const std::string& dir, int timeoutMs, std::string& error) {
    disconnect(conn);
    const auto deadline = deadlineAfter(timeoutMs);
    const std::string fromPath = dir + "/" + PIPE_FROM_SERVICE;
    const std::string toPath = dir + "/" + PIPE_TO_SERVICE;
    const std::string waited = " after " + std::to_string(timeoutMs) + " ms";

    // The service opens its outgoing pipe first and blocks there until a reader exists; only then does it
    // start reading commands. So the read end must come first, and it must not wait for the writer.
    conn.fromService = openWhenReady(fromPath, O_RDONLY, deadline);
    if (conn.fromService < 0) {
        error = errno == ENOENT ? "kx-services is not running (no " + fromPath + waited + ")"
                                : "cannot open " + fromPath + ": " + std::strerror(errno);
        return false;
    }
    if (!isFifo(conn.fromService)) {
        error = fromPath + " is not a named pipe";
        disconnect(conn);
        return false;
    }

    conn.toService = openWhenReady(toPath, O_WRONLY, deadline);
    if (conn.toService < 0) {
        const int err = errno;
        if (err == ENXIO)
            error = "kx-services is not running (no reader on " + toPath + waited +
                    "; a service that already served a host does not accept another)";
        else if (err == ENOENT)
            error = "kx-services is not running (no " + toPath + waited + ")";
        else
            error = "cannot open " + toPath + ": " + std::strerror(err);
        disconnect(conn);
        return false;
    }
    if (!isFifo(conn.toService)) {
        error = toPath + " is not a named pipe";
        disconnect(conn);
        return false;
    }
    // Writes stay non-blocking: sendLine waits for room itself, within the same limit.
    conn.sendTimeoutMs = timeoutMs;
    // Screenshot replies run to megabytes; a larger pipe means far fewer wake-ups per reply. Best effort:
    // the system may refuse.
    fcntl(conn.fromService, F_SETPIPE_SZ, 1 << 20);
    return true;
}

void disconnect(Connection& conn) {
    closeFd(conn.toService);
    closeFd(conn.fromService);
    conn.pending.clear();
    conn.closed = false;
}

bool sendLine(Connection& conn, const std::string& line) {
    if (conn.toService < 0) return false;
    // One write call for the whole line: lines up to the pipe's atomic size reach the reader in one piece.
    std::string buffer;
    buffer.reserve(line.size() + 1);
    buffer.append(line).push_back('\n');
    const auto deadline = deadlineAfter(conn.sendTimeoutMs);
    size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t n = write(conn.toService, buffer.data() + done, buffer.size() - done);
        if (n >= 0) {
            done += size_t(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return false;
        pollfd pfd{conn.toService, POLLOUT, 0};
        const int ready = poll(&pfd, 1, msLeft(deadline));
        if (ready == 0 && msLeft(deadline) == 0) return false;
        if (ready < 0 && errno != EINTR) return false;
    }
    return true;
}

bool sendMessage(Connection& conn, const nlohmann::json& message) {
    return sendLine(conn, message.dump());
}

ReadStatus readLine(Connection& conn, std::string& line, int timeoutMs) {
    const auto deadline = deadlineAfter(timeoutMs);
    size_t searchFrom = 0;
    for (;;) {
        const size_t newline = conn.pending.find('\n', searchFrom);
        if (newline != std::string::npos) {
            line.assign(conn.pending, 0, newline);
            conn.pending.erase(0, newline + 1);
            return ReadStatus::Line;
        }
        searchFrom = conn.pending.size();
        if (conn.fromService < 0 || conn.closed) return ReadStatus::Closed;

        pollfd pfd{conn.fromService, POLLIN, 0};
        const int ready = poll(&pfd, 1, msLeft(deadline));
        if (ready < 0 && errno != EINTR) return ReadStatus::Closed;
        if (ready == 0 && msLeft(deadline) == 0) return ReadStatus::Timeout;
        if (ready <= 0) continue;

        // Large chunks: a screenshot reply is one line of several megabytes.
        char chunk[64 * 1024];
        const ssize_t n = read(conn.fromService, chunk, sizeof chunk);
        if (n > 0) {
            conn.pending.append(chunk, size_t(n));
        } else if (n == 0) {
            conn.closed = true;
            return ReadStatus::Closed;
        } else if (errno != EAGAIN && errno != EINTR) {
            return ReadStatus::Closed;
        }
    }
}

bool awaitMessage(Connection& conn, const std::string& type, nlohmann::json& out, int timeoutMs,
                  std::vector<nlohmann::json>* passedOver) {
    return awaitMatching(
        conn, [&](const nlohmann::json& m) { return textMember(m, "type") == type; }, out, timeoutMs,
        passedOver);
}

nlohmann::json keyMessage(bool down, int keyValue, int keyType) {
    return {{"type", down ? "keyDown" : "keyUp"},
            {"uuid", newUuid()},
            {"data", {{"keyValue", keyValue}, {"keyType", keyType}}}};
}

nlohmann::json applicationListMessage() {
    return {{"type", "listCurrentProcesses"}, {"uuid", newUuid()}, {"data", nlohmann::json::object()}};
}

nlohmann::json regionScreenshotMessage(const std::string& uuid, int x, int y, int w, int h) {
    return {
        {"type", "getRegionScreenshot"}, {"uuid", uuid}, {"data", {{"x", x}, {"y", y}, {"w", w}, {"h", h}}}};
}

bool sendKey(Connection& conn, bool down, int keyValue, int keyType) {
    return sendMessage(conn, keyMessage(down, keyValue, keyType));
}

bool sendGetVersion(Connection& conn) {
    return sendMessage(conn,
                       {{"type", "getVersion"}, {"uuid", newUuid()}, {"data", nlohmann::json::object()}});
}

bool requestApplicationList(Connection& conn, nlohmann::json& entries, int timeoutMs,
                            std::vector<nlohmann::json>* passedOver) {
    nlohmann::json reply;
    if (!sendMessage(conn, applicationListMessage()) ||
        !awaitMessage(conn, "listOfActiveProcesses", reply, timeoutMs, passedOver))
        return false;
    const auto data = reply.find("data");
    entries = data != reply.end() && data->is_array() ? std::move(*data) : nlohmann::json::array();
    return true;
}

bool requestRegionScreenshot(Connection& conn, int x, int y, int w, int h, std::string& base64, int timeoutMs,
                             std::vector<nlohmann::json>* passedOver) {
    const std::string uuid = newUuid();
    nlohmann::json reply;
    const auto isReply = [&](const nlohmann::json& m) {
        return textMember(m, "type") == "getRegionScreenshot" && textMember(m, "uuid") == uuid;
    };
    if (!sendMessage(conn, regionScreenshotMessage(uuid, x, y, w, h)) ||
        !awaitMatching(conn, isReply, reply, timeoutMs, passedOver))
        return false;
    const auto data = reply.find("data");
    base64 = data != reply.end() ? textMember(*data, "base64") : std::string();
    return true;
}

std::string textMember(const nlohmann::json& object, const char* name) {
    if (!object.is_object()) return {};
    const auto it = object.find(name);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::string newUuid() {
    gchar* text = g_uuid_string_random();
    std::string uuid(text);
    g_free(text);
    return uuid;
}

bool decodeBase64(const std::string& text, std::string& bytes) {
    // g_base64_decode skips what it does not understand; a truncated or damaged reply must not pass
    // as an image, so the shape is checked first.
    static const char* const ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const size_t body = text.find_first_not_of(ALPHABET);
    const bool wellFormed =
        text.size() % 4 == 0 &&
        (body == std::string::npos ||
         (text.size() - body <= 2 && text.find_first_not_of('=', body) == std::string::npos));
    if (!wellFormed) return false;
    bytes.clear();
    if (text.empty()) return true;
    gsize len = 0;
    guchar* decoded = g_base64_decode(text.c_str(), &len);
    bytes.assign(reinterpret_cast<const char*>(decoded), len);
    g_free(decoded);
    return true;
}

} // namespace kx
