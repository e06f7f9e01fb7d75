#pragma once

// PNG files of 8-bit RGBA pixels, written for speed: a capture is the service's heaviest request and
// the encoder dominates it. The rows are asked for one at a time, so a caller converts or decodes
// straight into the encoder and holds no whole RGBA image of its own.

#include <functional>
#include <string>

// How each row is filtered before compression. The capture uses PNG_FILTER_DEFAULT; the others are
// there for the benchmark that chose it.
enum class PngFilter {
    Up,       // the row above subtracted: flat areas and vertical runs, as on a desktop
    Sub,      // the pixel to the left subtracted
    Paeth,    // PNG's predictor from left, above and upper left
    Cheapest, // per row, whichever of none, sub and up leaves the smallest sum of magnitudes
};
constexpr PngFilter PNG_FILTER_DEFAULT = PngFilter::Sub;

// Fills the 4 × width bytes of row y (red, green, blue, alpha); rows are asked for top to bottom.
// False aborts the encoding.
using PngRowSource = std::function<bool(int y, unsigned char* rgba)>;

// The PNG file of a width × height RGBA image, or "" when a row could not be had or memory ran out.
// Content that would not shrink by compression is stored as it is, which costs next to nothing.
std::string png_encodeRgba(int width, int height, const PngRowSource& rows,
                           PngFilter filter = PNG_FILTER_DEFAULT);
