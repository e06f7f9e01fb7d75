// Region capture: clamp the rectangle to the screen, read it in one image request, convert it to 8-bit
// RGBA and encode it as PNG.
#include "platform_common.h"
#include "platform_x11.h"
#include "x11_display.h"

#include <cstring>
#include <memory>

#include <X11/Xutil.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

namespace {

// Chosen by measurement on photo-like full-HD content (bench/bench_x11; the figures are in the README's
// benchmarks): level 0 stores the pixels almost raw, the higher levels cost several times as long for
// files a few to 16% smaller. gdk-pixbuf offers no choice of filters: libpng's adaptive filtering, its
// default, stays.
const char PNG_COMPRESSION[] = "1";

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

struct Channels {
    Channel r, g, b;
    explicit Channels(const XImage* img)
        : r(channelOf(img->red_mask)), g(channelOf(img->green_mask)), b(channelOf(img->blue_mask)) {}
};

template <typename Word> Word loadWord(const unsigned char* p, bool swap) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    if (!swap) return w;
    return sizeof(Word) == 4 ? Word(__builtin_bswap32(uint32_t(w))) : Word(__builtin_bswap16(uint16_t(w)));
}

template <typename Word> void convertWords(const XImage* img, unsigned char* dst, int rowstride) {
    const Channels c(img);
    const bool swap = (img->byte_order == LSBFirst) != (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
    // The usual 24-bit layout gets a loop the compiler can keep in registers.
    const bool plain = sizeof(Word) == 4 && img->red_mask == 0xFF0000 && img->green_mask == 0xFF00 &&
                       img->blue_mask == 0xFF;
    for (int y = 0; y < img->height; ++y) {
        const unsigned char* src = reinterpret_cast<const unsigned char*>(img->data) + size_t(y) * img->bytes_per_line;
        unsigned char* out = dst + size_t(y) * rowstride;
        for (int x = 0; x < img->width; ++x, src += sizeof(Word), out += 4) {
            const unsigned long pixel = loadWord<Word>(src, swap);
            if (plain) {
                out[0] = (unsigned char)(pixel >> 16);
                out[1] = (unsigned char)(pixel >> 8);
                out[2] = (unsigned char)pixel;
            } else {
                out[0] = scaleColor(pixel, c.r);
                out[1] = scaleColor(pixel, c.g);
                out[2] = scaleColor(pixel, c.b);
            }
            out[3] = 255;
        }
    }
}

struct PixbufDeleter {
    void operator()(GdkPixbuf* p) const { g_object_unref(p); }
};
using Pixbuf = std::unique_ptr<GdkPixbuf, PixbufDeleter>;

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
    const Channels c(img);
    for (int y = 0; y < img->height; ++y) {
        unsigned char* out = dst + size_t(y) * rowstride;
        for (int x = 0; x < img->width; ++x, out += 4) {
            const unsigned long pixel = XGetPixel(img, x, y);
            out[0] = scaleColor(pixel, c.r);
            out[1] = scaleColor(pixel, c.g);
            out[2] = scaleColor(pixel, c.b);
            out[3] = 255;
        }
    }
}

bool x11_convertImageDirect(XImage* img, unsigned char* dst, int rowstride) {
    if (img->format != ZPixmap || img->xoffset != 0) return false;
    if (img->bits_per_pixel == 32)
        convertWords<uint32_t>(img, dst, rowstride);
    else if (img->bits_per_pixel == 16)
        convertWords<uint16_t>(img, dst, rowstride);
    else
        return false;
    return true;
}

std::string x11_encodePng(GdkPixbuf* pixbuf) {
    gchar* buffer = nullptr;
    gsize size = 0;
    GError* error = nullptr;
    std::string png;
    if (gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", &error, "compression", PNG_COMPRESSION,
                                  nullptr))
        png.assign(buffer, size);
    g_free(buffer);
    if (error) g_error_free(error);
    return png;
}

GdkPixbuf* x11_readRegion(int32_t x, int32_t y, int32_t width, int32_t height) {
    Display* dpy = x11_openDisplayFor("Cannot capture the region");
    if (!dpy) return nullptr;
    const int screen = DefaultScreen(dpy);
    GdkPixbuf* pixbuf = nullptr;
    if (x11_clampRegion(x, y, width, height, DisplayWidth(dpy, screen), DisplayHeight(dpy, screen))) {
        XImage* img = XGetImage(dpy, RootWindow(dpy, screen), x, y, unsigned(width), unsigned(height), AllPlanes,
                                ZPixmap);
        if (img) {
            pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, width, height);
            if (pixbuf) {
                unsigned char* pixels = gdk_pixbuf_get_pixels(pixbuf);
                const int rowstride = gdk_pixbuf_get_rowstride(pixbuf);
                if (!x11_convertImageDirect(img, pixels, rowstride))
                    x11_convertImageGeneric(img, pixels, rowstride);
            }
            XDestroyImage(img);
        }
    }
    x11_closeDisplay(dpy);
    return pixbuf;
}

std::string x11_captureRegionBase64(int32_t x, int32_t y, int32_t width, int32_t height) {
    logOut("Received region screenshot req (X11)... ");
    Pixbuf pixbuf(x11_readRegion(x, y, width, height));
    if (!pixbuf) return std::string();
    const std::string png = x11_encodePng(pixbuf.get());
    return base64Encode(reinterpret_cast<const unsigned char*>(png.data()), png.size());
}
