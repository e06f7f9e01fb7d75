#pragma once

#include <cstdint>
#include <string>

// Backend for sessions that are neither X11 nor Wayland: it refuses everything, loudly.
void dummy_init();
void dummy_simulateKey(int32_t keycode, int32_t keytype, bool press);
std::string dummy_captureRegionBase64(int32_t x, int32_t y, int32_t width, int32_t height);
