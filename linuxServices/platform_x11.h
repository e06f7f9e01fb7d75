#pragma once

// The X11 backend: key injection over XTest, the active-window monitor, the client list and region
// capture. Every X connection it opens follows the rules of x11_display.h.

#include "platform_interface.h"

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

extern const PlatformBackend X11_BACKEND;

// Key injection (command reader thread; x11_init on the main thread before any other thread).
void x11_init();
void x11_simulateKey(int32_t keycodeRaw, int32_t keyType, bool isDown);
void x11_releaseHeldKeys();

// Focus: follows _NET_ACTIVE_WINDOW of the display named by DISPLAY and reports every change of the
// active window's process or title. The X11 session's monitor and the XWayland monitor of a Wayland
// session are this one loop: `fromX11` marks the reports, and `announceNoWindow` writes the line for
// a focus that went to no window (left out under Wayland while the accessibility monitor reports
// native applications). Returns only when the display cannot be opened at the start.
void x11_followActiveWindow(bool fromX11, bool announceNoWindow);
void x11_monitorFocusChanges();

// Appends one entry per named client window of a process whose executable can be read.
void getOpenApplicationsX11(std::vector<nlohmann::json>& outVec);

// Base64 of a PNG of the rectangle clamped to the screen, or "" when nothing can be captured.
std::string x11_captureRegionBase64(int32_t x, int32_t y, int32_t width, int32_t height);

// The steps of a capture, exposed for the tests and the benchmarks.
struct _XImage;
// Moves a negative origin onto the screen and cuts what lies past its right and bottom edges; false
// when nothing is left.
bool x11_clampRegion(int32_t& x, int32_t& y, int32_t& width, int32_t& height, int32_t screenWidth,
                     int32_t screenHeight);
// The PNG file of the clamped rectangle, or "" when nothing can be captured.
std::string x11_capturePng(int32_t x, int32_t y, int32_t width, int32_t height);
// RGBA rows from an image: the generic path reads every pixel through XGetPixel and serves any
// visual; the direct path reads 16- and 32-bit pixels itself, to the same bytes, and returns false
// for other layouts.
void x11_convertImageGeneric(_XImage* img, unsigned char* dst, int rowstride);
bool x11_convertImageDirect(_XImage* img, unsigned char* dst, int rowstride);
// The PNG file of the whole image, converted row by row (the direct path where it serves).
std::string x11_encodeImagePng(_XImage* img);
