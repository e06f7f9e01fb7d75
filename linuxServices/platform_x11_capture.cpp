// Region capture: clamp the rectangle to the screen, read it in one image request, and convert it row
// by row into the PNG encoder, so that no whole RGBA copy of the image is held.
#include "page_buffer.h"
#include "platform_common.h"
#include "platform_x11.h"
#include "png_encode.h"
#include "x11_display.h"

#include <algorithm>
#include <cstring>

#include <X11/Xlibint.h>
#include <X11/Xutil.h>
// Xlib's own macros, not wanted beside the standard library's functions.
#undef min
#undef max

namespace {

struct Channel {
    unsigned long mask = 0;
    int shift = 0;
    int bits = 0;
    unsigned char small[128] = {}; // scaled values of channels narrower than 8 bits
};

Channel channelOf(unsigned long mask) {
    Channel c;
    c.mask = mask;
    if (mask == 0) return c;
    while ((mask & 1) == 0) {
        mask >>= 1;
        ++c.shift;
    }
    while (mask & 1) {
        mask >>= 1;
        ++c.bits;
    }
    if (c.bits <= 7)
        for (unsigned long v = 0; v < (1ul << c.bits); ++v)
            c.small[v] = (unsigned char)(v * 255 / ((1ul << c.bits) - 1));
    return c;
}

// Narrow channels are stretched to the full range (a 5-bit 16 becomes 131); wide ones keep their top
// 8 bits.
inline unsigned char scaleColor(unsigned long pixel, const Channel& c) {
    if (c.bits == 0) return 0;
    const unsigned long val = (pixel & c.mask) >> c.shift;
    if (c.bits > 7) return (unsigned char)(val >> (c.bits - 8));
    // A mask with holes (no conforming server sends one) can give values past the table.
    return val < (1ul << c.bits) ? c.small[val] : (unsigned char)(val * 255 / ((1ul << c.bits) - 1));
}

const unsigned char* rowOf(const XImage* img, int y) {
    return reinterpret_cast<const unsigned char*>(img->data) + size_t(y) * size_t(img->bytes_per_line);
}

// How one image's rows become RGBA: decided once per image, applied per row.
struct RowConverter {
    enum Kind { Generic, Bytes, Words16, Words32 } kind = Generic;
    Channel r, g, b;
    int offsets[3] = {}; // Bytes: where red, green and blue lie in a 32-bit pixel
    bool swap = false;   // Words: the image's byte order is not ours

    explicit RowConverter(const XImage* img)
        : r(channelOf(img->red_mask)), g(channelOf(img->green_mask)), b(channelOf(img->blue_mask)) {
        if (img->format != ZPixmap || img->xoffset != 0) return;
        swap = (img->byte_order == LSBFirst) != (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
        const Channel* channels[3] = {&r, &g, &b};
        bool bytes = img->bits_per_pixel == 32;
        for (int i = 0; i < 3; ++i) {
            const Channel& c = *channels[i];
            bytes = bytes && c.bits == 8 && c.shift % 8 == 0;
            offsets[i] = img->byte_order == LSBFirst ? c.shift / 8 : 3 - c.shift / 8;
        }
        if (bytes)
            kind = Bytes;
        else if (img->bits_per_pixel == 32)
            kind = Words32;
        else if (img->bits_per_pixel == 16)
            kind = Words16;
    }
};

// Every TrueColor visual of 24 bits: each channel a whole byte of the pixel, in either byte order.
void convertBytes(const RowConverter& c, const unsigned char* src, int width, unsigned char* out) {
    const int ro = c.offsets[0], go = c.offsets[1], bo = c.offsets[2];
    if (ro == 2 && go == 1 && bo == 0) { // the usual layout: a loop the compiler vectorises
        for (int x = 0; x < width; ++x, src += 4, out += 4) {
            uint32_t p;
            std::memcpy(&p, src, 4);
            const uint32_t le = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? p : __builtin_bswap32(p);
            const uint32_t rgba = (le >> 16 & 0xFF) | (le & 0xFF00) | (le & 0xFF) << 16 | 0xFF000000u;
            const uint32_t bytes = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? rgba : __builtin_bswap32(rgba);
            std::memcpy(out, &bytes, 4);
        }
        return;
    }
    for (int x = 0; x < width; ++x, src += 4, out += 4) {
        out[0] = src[ro];
        out[1] = src[go];
        out[2] = src[bo];
        out[3] = 255;
    }
}

template <typename Word>
void convertWords(const RowConverter& c, const unsigned char* src, int width, unsigned char* out) {
    for (int x = 0; x < width; ++x, src += sizeof(Word), out += 4) {
        Word w;
        std::memcpy(&w, src, sizeof w);
        if (c.swap)
            w = sizeof(Word) == 4 ? Word(__builtin_bswap32(uint32_t(w)))
                                  : Word(__builtin_bswap16(uint16_t(w)));
        const unsigned long pixel = w;
        out[0] = scaleColor(pixel, c.r);
        out[1] = scaleColor(pixel, c.g);
        out[2] = scaleColor(pixel, c.b);
        out[3] = 255;
    }
}

void convertGeneric(const RowConverter& c, XImage* img, int y, unsigned char* out) {
    for (int x = 0; x < img->width; ++x, out += 4) {
        const unsigned long pixel = XGetPixel(img, x, y);
        out[0] = scaleColor(pixel, c.r);
        out[1] = scaleColor(pixel, c.g);
        out[2] = scaleColor(pixel, c.b);
        out[3] = 255;
    }
}

void convertRow(const RowConverter& c, XImage* img, int y, unsigned char* out) {
    switch (c.kind) {
    case RowConverter::Bytes:
        return convertBytes(c, rowOf(img, y), img->width, out);
    case RowConverter::Words32:
        return convertWords<uint32_t>(c, rowOf(img, y), img->width, out);
    case RowConverter::Words16:
        return convertWords<uint16_t>(c, rowOf(img, y), img->width, out);
    case RowConverter::Generic:
        return convertGeneric(c, img, y, out);
    }
}

// One GetImage request, read into `pixels`, where XGetImage would read into memory of its own;
// `image` describes it. False when the server gives no image.
bool readImage(Display* dpy, Drawable root, int x, int y, int width, int height, PageBuffer& pixels,
               XImage*& image) {
    xGetImageReply reply;
    xGetImageReq* request;
    LockDisplay(dpy);
    GetReq(GetImage, request);
    request->drawable = root;
    request->x = short(x);
    request->y = short(y);
    request->width = CARD16(width);
    request->height = CARD16(height);
    request->planeMask = 0xFFFFFFFFu; // AllPlanes
    request->format = ZPixmap;
    bool read = _XReply(dpy, reinterpret_cast<xReply*>(&reply), 0, xFalse) && reply.length != 0;
    const size_t bytes = read ? size_t(reply.length) << 2 : 0;
    if (read && bytes % size_t(height) == 0)
        image = XCreateImage(dpy, _XVIDtoVisual(dpy, reply.visual), reply.depth, ZPixmap, 0, nullptr,
                             unsigned(width), unsigned(height), 32, int(bytes / size_t(height)));
    if (image) pixels = allocatePages(bytes);
    read = read && image && pixels;
    if (read) {
        image->data = reinterpret_cast<char*>(pixels.get());
        _XReadPad(dpy, image->data, long(bytes));
    } else if (bytes) {
        _XEatDataWords(dpy, reply.length);
    }
    UnlockDisplay(dpy);
    SyncHandle();
    return read;
}

} // namespace

bool x11_clampRegion(int32_t& x, int32_t& y, int32_t& width, int32_t& height, int32_t screenWidth,
                     int32_t screenHeight) {
    if (x < 0) x = 0;
    if (y < 0) y = 0;
    // In 64 bits: x + width may leave the 32-bit range.
    if (int64_t(x) + width > screenWidth) width = int32_t(int64_t(screenWidth) - x);
    if (int64_t(y) + height > screenHeight) height = int32_t(int64_t(screenHeight) - y);
    return width > 0 && height > 0;
}

void x11_convertImageGeneric(XImage* img, unsigned char* dst, int rowstride) {
    RowConverter c(img);
    c.kind = RowConverter::Generic;
    for (int y = 0; y < img->height; ++y)
        convertRow(c, img, y, dst + size_t(y) * size_t(rowstride));
}

bool x11_convertImageDirect(XImage* img, unsigned char* dst, int rowstride) {
    const RowConverter c(img);
    if (c.kind == RowConverter::Generic) return false;
    for (int y = 0; y < img->height; ++y)
        convertRow(c, img, y, dst + size_t(y) * size_t(rowstride));
    return true;
}

std::string x11_encodeImagePng(XImage* img) {
    const RowConverter c(img);
    return png_encodeRgba(img->width, img->height, [&](int y, unsigned char* rgba) {
        convertRow(c, img, y, rgba);
        return true;
    });
}

std::string x11_capturePng(int32_t x, int32_t y, int32_t width, int32_t height) {
    Display* dpy = x11_openDisplayFor("Cannot capture the region");
    if (!dpy) return std::string();
    const int screen = DefaultScreen(dpy);
    if (!x11_clampRegion(x, y, width, height, DisplayWidth(dpy, screen), DisplayHeight(dpy, screen))) {
        x11_closeDisplay(dpy);
        return std::string();
    }
    // One request, so the image shows one moment, read into a buffer of our own: an image from
    // XGetImage would be megabytes of new pages every time, where ours keeps its pages between captures.
    PageBuffer pixels;
    XImage* image = nullptr;
    const bool read = readImage(dpy, RootWindow(dpy, screen), x, y, width, height, pixels, image);
    x11_closeDisplay(dpy);
    std::string png;
    if (read) {
        const RowConverter converter(image);
        png = png_encodeRgba(width, height, [&](int row, unsigned char* rgba) {
            convertRow(converter, image, row, rgba);
            return true;
        });
    }
    if (image) {
        image->data = nullptr; // ours
        XDestroyImage(image);
    }
    return png;
}

std::string x11_captureRegionBase64(int32_t x, int32_t y, int32_t width, int32_t height) {
    logOut("Received region screenshot req (X11)... ");
    const std::string png = x11_capturePng(x, y, width, height);
    return base64Encode(reinterpret_cast<const unsigned char*>(png.data()), png.size());
}
