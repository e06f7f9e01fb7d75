#pragma once

// Screenshots as a test sees them: a reply's PNG decoded, and the test pattern put on a screen so that
// every pixel of a capture says where on the screen it came from.

#include <array>
#include <string>
#include <vector>

namespace it {

struct Picture {
    int width = 0, height = 0;
    bool alpha = false;
    int translucent = 0; // pixels whose alpha is not 255
    std::vector<std::array<int, 3>> pixels; // RGB, row by row
    std::array<int, 3> at(int i, int j) const { return pixels[size_t(j * width + i)]; }
};

// The Base64 PNG of a reply; an empty picture when it is not one.
Picture decodePng(const std::string& base64);

// The pattern's colour at screen point (x, y): the same as the desktop stand-ins paint.
std::array<int, 3> painted(int x, int y);
// A PNG file of the pattern, width x height, readable by everyone.
bool writePatternPng(const std::string& path, int width, int height);
// How many pixels of `picture` differ from the pattern of the screen rectangle at (x, y).
int pixelsOffPattern(const Picture& picture, int x, int y);

} // namespace it
