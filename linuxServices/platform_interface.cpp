#include "platform_interface.h"

#include "kx-services.h"
#include "platform_common.h"
#include "platform_dummy.h"

#include <algorithm>
#include <cstdio>
#include <unordered_set>

using nlohmann::json;

PlatformType _detectedPlatform = PLATFORM_UNKNOWN;
void (*_initPlatform)() = dummy_init;
void (*_simulateKey)(int32_t, int32_t, bool) = dummy_simulateKey;
std::string (*_captureRegion)(int32_t, int32_t, int32_t, int32_t) = dummy_captureRegionBase64;
void (*_monitorFocus)() = nullptr;
void (*_releaseHeldKeys)() = nullptr;

namespace {
const PlatformBackend* g_x11Backend = nullptr;
const PlatformBackend* g_waylandBackend = nullptr;

void appendApplications(const PlatformBackend* backend, std::vector<json>& list) {
    if (backend && backend->listApplications) backend->listApplications(list);
}
} // namespace

void registerBackends(const PlatformBackend* x11, const PlatformBackend* wayland) {
    g_x11Backend = x11;
    g_waylandBackend = wayland;
}

void initPlatform() {
    _detectedPlatform = detectPlatform();
    const PlatformBackend* backend = _detectedPlatform == PLATFORM_X11       ? g_x11Backend
                                     : _detectedPlatform == PLATFORM_WAYLAND ? g_waylandBackend
                                                                             : nullptr;
    if (backend) {
        _initPlatform = backend->init;
        _simulateKey = backend->simulateKey;
        _captureRegion = backend->captureRegion;
        _monitorFocus = backend->monitorFocus;
        _releaseHeldKeys = backend->releaseHeldKeys;
    } else {
        // Also a recognised session whose backend is not built in keeps its detected platform
        // but is served by the dummy operations.
        _initPlatform = dummy_init;
        _simulateKey = dummy_simulateKey;
        _captureRegion = dummy_captureRegionBase64;
        _monitorFocus = nullptr;
        _releaseHeldKeys = nullptr;
    }
    _initPlatform();
}

void simulateKey(int32_t keycode, int32_t keyType, bool press) {
    _simulateKey(keycode, keyType, press);
}

std::string captureRegion(int32_t x, int32_t y, int32_t width, int32_t height) {
    return _captureRegion(x, y, width, height);
}

void monitorFocusChanges() {
    if (!_monitorFocus) {
        logErr("Failed to start application changes, function not available.");
        return;
    }
    _monitorFocus();
}

void releaseHeldKeys() {
    if (_releaseHeldKeys) _releaseHeldKeys();
}

void writeMessage(const json& message) {
    // One write per message keeps replies and focus reports whole.
    writeWholeLine(pipeOut, message.dump(-1, ' ', false, json::error_handler_t::replace));
}

namespace {
std::string textMember(const json& entry, const char* name) {
    return entry.value(name, std::string());
}

std::string lowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}
} // namespace

void dedup(std::vector<json>& v) {
    std::unordered_set<std::string> seen;
    std::vector<json> out;
    out.reserve(v.size());
    for (json& entry : v) {
        const std::string key = lowerAscii(textMember(entry, "title")) + "|" +
                                lowerAscii(basenameOf(textMember(entry, "processpath")));
        if (seen.insert(key).second) out.push_back(std::move(entry));
    }
    v = std::move(out);
}

void sortApplications(std::vector<json>& v) {
    // Keys are read once, up front: a malformed entry throws before anything is reordered.
    std::vector<std::pair<std::pair<std::string, std::string>, size_t>> keys;
    keys.reserve(v.size());
    for (size_t i = 0; i < v.size(); ++i)
        keys.push_back({{textMember(v[i], "title"), textMember(v[i], "processpath")}, i});
    // std::string compares as unsigned bytes, so "Zed" sorts before "abc".
    std::stable_sort(keys.begin(), keys.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<json> sorted;
    sorted.reserve(v.size());
    for (const auto& k : keys)
        sorted.push_back(std::move(v[k.second]));
    v = std::move(sorted);
}

void sendApplicationList() {
    const std::string prefix = "Received request for list of running applications. ";
    logOut(prefix + "Creating list...");
    std::vector<json> list;
    switch (_detectedPlatform) {
    case PLATFORM_WAYLAND:
        // Wayland entries come first so that dedup keeps them over their XWayland twins.
        appendApplications(g_waylandBackend, list);
        appendApplications(g_x11Backend, list);
        dedup(list);
        break;
    case PLATFORM_X11:
        appendApplications(g_x11Backend, list);
        break;
    case PLATFORM_UNKNOWN:
        break;
    }
    logOut(prefix + "List created... found " + std::to_string(list.size()) + " entries");
    sortApplications(list);
    logOut(prefix + "List created... sending to Velloran");
    json reply = {{"type", "listOfActiveProcesses"}, {"data", json(std::move(list))}};
    writeMessage(reply);
}

void sendRegionScreenshot(std::string uuid, const json& data) {
    const int32_t x = readInt32Member(data, "x");
    const int32_t y = readInt32Member(data, "y");
    const int32_t w = readInt32Member(data, "w");
    const int32_t h = readInt32Member(data, "h");
    const std::string prefix = "Received region screenshot req... ";
    logOut(prefix + std::to_string(x) + ", " + std::to_string(y) + ", " + std::to_string(w) + ", " +
           std::to_string(h));
    const std::string base64 = captureRegion(x, y, w, h);
    // logOut's line, written in parts: a capture's text is megabytes, and each copy of it costs.
    writeLineParts(stdout, {prefix, "base64 String: ", base64});
    const json reply = {{"type", "getRegionScreenshot"}, {"uuid", std::move(uuid)}, {"data", {{"base64", ""}}}};
    logOut(prefix + "sending to Velloran");
    // The reply as writeMessage would write it, with the Base64 text put in place of the empty one:
    // the serialiser would copy and check megabytes of text that needs no escaping, and took longer
    // than the capture itself.
    const std::string frame = reply.dump(-1, ' ', false, json::error_handler_t::replace);
    const std::string empty = "\"base64\":\"";
    const size_t found = frame.find(empty); // in the first member: "data" sorts before the others
    const size_t at = found == std::string::npos ? frame.size() : found + empty.size();
    const std::string_view whole(frame);
    writeLineParts(pipeOut, {whole.substr(0, at), base64, whole.substr(at)});
}
