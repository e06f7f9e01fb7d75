#pragma once

// Host side of the kx-services pipe protocol: one compact JSON document per line in each direction.
//
// A write to the service after it has gone raises SIGPIPE; programs using this library should ignore
// that signal (signal(SIGPIPE, SIG_IGN)) so that the write fails with EPIPE instead.
//
// The service accepts one host for its whole life: once a connection is closed it neither reads
// commands again nor survives its next outgoing message, so connect once and keep the connection.

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>
#include <vector>

namespace kx {

constexpr const char* DEFAULT_PIPE_DIR = "/tmp/kx-services";
// Where the service sends replies and reports.
constexpr const char* PIPE_FROM_SERVICE = "input-services-to-main";
// Where the service reads commands.
constexpr const char* PIPE_TO_SERVICE = "input-main-to-services";

struct Connection {
    int fromService = -1;   // read end, non-blocking
    int toService = -1;     // write end, non-blocking (sendLine waits for room)
    std::string pending;    // bytes read but not yet returned as a line
    bool closed = false;    // the service closed its end (end of input seen)
    int sendTimeoutMs = -1; // how long a write may wait for room in the pipe; set by connectToService
};

// Timeouts are in milliseconds; a negative timeout waits without limit.

// The moment a timeout ends (never, for a negative one), and the milliseconds left until then as
// poll() takes them: -1 for no limit, otherwise never below 0.
std::chrono::steady_clock::time_point deadlineAfter(int timeoutMs);
int msLeft(std::chrono::steady_clock::time_point deadline);

// Opens both pipes in the order the service needs (replies first, then commands), waiting up to
// timeoutMs for the service to appear; later writes wait for room as long. On failure nothing stays
// open and `error` says why.
bool connectToService(Connection& conn, const std::string& dir, int timeoutMs, std::string& error);
void disconnect(Connection& conn);

// Writes `line` and a newline, all of it. False when the service is gone, or when it has not made
// room in the pipe for conn.sendTimeoutMs (a service that stopped reading; the line may then be cut).
bool sendLine(Connection& conn, const std::string& line);
bool sendMessage(Connection& conn, const nlohmann::json& message);

enum class ReadStatus { Line, Timeout, Closed };
// Returns the next line without its newline. An unterminated tail at end of input stays in
// conn.pending and is not returned.
ReadStatus readLine(Connection& conn, std::string& line, int timeoutMs);

// Waits for the next message whose "type" is `type`. Messages of other types read meanwhile (such as
// "applicationChanged" reports, which come at any time) go to passedOver when given, else are dropped;
// lines that are not JSON are dropped. False on timeout or when the service closed the pipe
// (conn.closed tells which).
bool awaitMessage(Connection& conn, const std::string& type, nlohmann::json& out, int timeoutMs,
                  std::vector<nlohmann::json>* passedOver = nullptr);

// Key codes are read in the code space `keyType` (1 = vk codes). The service sends no reply.
bool sendKey(Connection& conn, bool down, int keyValue, int keyType = 1);
// The service answers by printing its version banner on its own standard output, not on the pipe.
bool sendGetVersion(Connection& conn);

// `entries` receives the reply's "data": an array of objects with "title", "processpath", "platform".
bool requestApplicationList(Connection& conn, nlohmann::json& entries, int timeoutMs,
                            std::vector<nlohmann::json>* passedOver = nullptr);

// `base64` receives the PNG image in Base64; it is empty when the service could not capture the region,
// which still counts as an answer (true). Replies are matched to the request by a fresh uuid.
bool requestRegionScreenshot(Connection& conn, int x, int y, int w, int h, std::string& base64, int timeoutMs,
                             std::vector<nlohmann::json>* passedOver = nullptr);

nlohmann::json keyMessage(bool down, int keyValue, int keyType);
nlohmann::json applicationListMessage();
nlohmann::json regionScreenshotMessage(const std::string& uuid, int x, int y, int w, int h);
std::string newUuid();

// The member `name` of an object when it is a string, else the empty string; never throws.
std::string textMember(const nlohmann::json& object, const char* name);

// False when `text` is not standard padded Base64.
bool decodeBase64(const std::string& text, std::string& bytes);

} // namespace kx
