#pragma once

// A rectangle of a PNG file taken out and written again by png_encode: the desktop portal gives the
// whole screen, the service answers with the region asked for.

#include <functional>
#include <string>

struct PngRect {
    int x = 0, y = 0, width = 0, height = 0;
};

// Sees the image's size before any pixel is decoded and sets the rectangle to take, which must lie
// within the image; false takes nothing.
using PngFit = std::function<bool(int imageWidth, int imageHeight, PngRect& rect)>;

// The PNG file of the rectangle of the image read from `fd`, 8-bit RGBA with alpha 255 whatever the
// file's format. Only the rows down to the rectangle's last are decoded (all of an interlaced image).
// The whole of an image that is 8-bit RGBA and opaque is the file itself, unchanged.
// "" when `fit` declines, and also, with `error` saying why, when the file is no PNG image or the
// encoding fails.
std::string png_recodeRegion(int fd, const PngFit& fit, std::string& error);
