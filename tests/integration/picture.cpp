#include "picture.h"

#include "kx_client.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <sys/stat.h>

namespace it {

Picture decodePng(const std::string& base64) {
    Picture picture;
    std::string png;
    if (!kx::decodeBase64(base64, png) || png.empty()) return picture;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
    if (gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(png.data()), png.size(), nullptr) &&
        gdk_pixbuf_loader_close(loader, nullptr)) {
        GdkPixbuf* image = gdk_pixbuf_loader_get_pixbuf(loader);
        picture.width = gdk_pixbuf_get_width(image);
        picture.height = gdk_pixbuf_get_height(image);
        picture.alpha = gdk_pixbuf_get_has_alpha(image);
        const int stride = gdk_pixbuf_get_rowstride(image), channels = gdk_pixbuf_get_n_channels(image);
        const guchar* data = gdk_pixbuf_read_pixels(image);
        for (int j = 0; j < picture.height; ++j)
            for (int i = 0; i < picture.width; ++i) {
                const guchar* p = data + j * stride + i * channels;
                picture.pixels.push_back({p[0], p[1], p[2]});
                picture.translucent += picture.alpha && p[3] != 255;
            }
    } else {
        gdk_pixbuf_loader_close(loader, nullptr);
    }
    g_object_unref(loader);
    return picture;
}

std::array<int, 3> painted(int x, int y) {
    return {x % 256, y % 256, x / 256};
}

bool writePatternPng(const std::string& path, int width, int height) {
    GdkPixbuf* image = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
    if (!image) return false;
    const int stride = gdk_pixbuf_get_rowstride(image);
    guchar* data = gdk_pixbuf_get_pixels(image);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::array<int, 3> rgb = painted(x, y);
            for (int c = 0; c < 3; ++c)
                data[y * stride + x * 3 + c] = guchar(rgb[size_t(c)]);
        }
    const bool saved = gdk_pixbuf_save(image, path.c_str(), "png", nullptr, nullptr);
    g_object_unref(image);
    return saved && chmod(path.c_str(), 0644) == 0;
}

int pixelsOffPattern(const Picture& picture, int x, int y) {
    int off = 0;
    for (int j = 0; j < picture.height; ++j)
        for (int i = 0; i < picture.width; ++i)
            off += picture.at(i, j) != painted(x + i, y + j);
    return off;
}

} // namespace it
