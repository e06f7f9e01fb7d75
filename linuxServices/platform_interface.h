#pragma once

#include "platform_detect.h"

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// The operations one session type supplies. The X11 and Wayland tables live in the backend
// libraries, which only the service binary links: the core, its tests, the fuzzer and the core
// benchmarks see a backend only through the table handed to registerBackends().
struct PlatformBackend {
    void (*init)();
    void (*simulateKey)(int32_t keycode, int32_t keyType, bool press);
    std::string (*captureRegion)(int32_t x, int32_t y, int32_t width, int32_t height);
    void (*monitorFocus)();                                 // may be null
    void (*listApplications)(std::vector<nlohmann::json>&); // appends entries; may be null
    void (*releaseHeldKeys)();                              // may be null
};

// Called by main before initPlatform(); a type without a table is served by the dummy backend.
void registerBackends(const PlatformBackend* x11, const PlatformBackend* wayland);

// Dispatch slots: bound once by initPlatform() on the main thread, before any other thread
// starts, and read-only afterwards, so they need no lock.
extern PlatformType _detectedPlatform;
extern void (*_initPlatform)();
extern void (*_simulateKey)(int32_t keycode, int32_t keyType, bool press);
extern std::string (*_captureRegion)(int32_t x, int32_t y, int32_t width, int32_t height);
extern void (*_monitorFocus)();
extern void (*_releaseHeldKeys)();

void initPlatform();
void simulateKey(int32_t keycode, int32_t keyType, bool press);
std::string captureRegion(int32_t x, int32_t y, int32_t width, int32_t height);
void monitorFocusChanges();
// Releases every key a key command pressed and none released, most recent first: called when
// Velloran has gone, so that no key stays down on the desktop.
void releaseHeldKeys();

// Replies on the outgoing pipe. Failures (bad request members, malformed entries) are thrown
// to the command reader, which reports them; nothing is written for a failed request.
void sendApplicationList();
void sendRegionScreenshot(std::string uuid, const nlohmann::json& data);

// Writes one outgoing message as a single compact line to pipeOut, in one call, and flushes.
// Invalid UTF-8 (window titles and paths can hold any bytes) becomes U+FFFD instead of failing.
void writeMessage(const nlohmann::json& message);

// List helpers, exposed for the tests.
void dedup(std::vector<nlohmann::json>& v);
void sortApplications(std::vector<nlohmann::json>& v);
