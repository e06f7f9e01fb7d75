// The encoder's files decode to exactly the rows it was given, at the sizes where row and strip
// arithmetic goes wrong, on content that compresses a thousandfold and on content that cannot shrink
// at all (random alpha, which no capture has), whose file must stay near its raw size.
#include "png_encode.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

enum class Content { Random, Flat, Gradient };

std::vector<unsigned char> imageOf(int w, int h, Content content) {
    std::vector<unsigned char> rgba(size_t(w) * size_t(h) * 4);
    std::mt19937 random(unsigned(w * 7919 + h));
    for (size_t i = 0; i < rgba.size(); ++i) {
        const size_t pixel = i / 4, x = pixel % size_t(w);
        switch (content) {
        case Content::Random:
            rgba[i] = (unsigned char)random();
            break;
        case Content::Flat:
            rgba[i] = i % 4 == 3 ? 255 : (unsigned char)(0x33 * (i % 4 + 1));
            break;
        case Content::Gradient:
            rgba[i] = i % 4 == 3 ? 255 : (unsigned char)(x * (i % 4 + 1) + pixel / size_t(w));
            break;
        }
    }
    return rgba;
}

// The RGBA rows of a PNG file, or nothing when it does not decode as one.
std::vector<unsigned char> decode(const std::string& png, int& w, int& h) {
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
    std::vector<unsigned char> rows;
    if (gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(png.data()), png.size(), nullptr) &&
        gdk_pixbuf_loader_close(loader, nullptr)) {
        GdkPixbuf* pb = gdk_pixbuf_loader_get_pixbuf(loader);
        w = gdk_pixbuf_get_width(pb);
        h = gdk_pixbuf_get_height(pb);
        if (gdk_pixbuf_get_has_alpha(pb) && gdk_pixbuf_get_n_channels(pb) == 4)
            for (int y = 0; y < h; ++y) {
                const guchar* row =
                    gdk_pixbuf_get_pixels(pb) + size_t(y) * size_t(gdk_pixbuf_get_rowstride(pb));
                rows.insert(rows.end(), row, row + size_t(w) * 4);
            }
    } else {
        gdk_pixbuf_loader_close(loader, nullptr);
    }
    g_object_unref(loader);
    return rows;
}

TEST(PngEncode, EveryFilterDecodesToTheRowsGivenAtEdgeSizes) {
    const struct { int w, h; } sizes[] = {{1, 1}, {1, 300}, {300, 1}, {333, 7}, {17, 1000}, {1920, 80}};
    for (const auto& size : sizes)
        for (Content content : {Content::Random, Content::Flat, Content::Gradient})
            for (PngFilter filter : {PngFilter::Up, PngFilter::Sub, PngFilter::Paeth, PngFilter::Cheapest}) {
                const std::vector<unsigned char> rgba = imageOf(size.w, size.h, content);
                const std::string png = png_encodeRgba(
                    size.w, size.h,
                    [&](int y, unsigned char* row) {
                        std::memcpy(row, rgba.data() + size_t(y) * size_t(size.w) * 4, size_t(size.w) * 4);
                        return true;
                    },
                    filter);
                int w = 0, h = 0;
                EXPECT_TRUE(decode(png, w, h) == rgba && w == size.w && h == size.h)
                    << size.w << "x" << size.h << " content " << int(content) << " filter " << int(filter);
            }
}

TEST(PngEncode, ContentThatCannotShrinkStaysNearItsRawSizeAndAFailedRowGivesNoFile) {
    const int w = 1500, h = 1000;
    const std::vector<unsigned char> rgba = imageOf(w, h, Content::Random);
    const auto rows = [&](int y, unsigned char* row) {
        std::memcpy(row, rgba.data() + size_t(y) * size_t(w) * 4, size_t(w) * 4);
        return true;
    };
    const std::string png = png_encodeRgba(w, h, rows);
    int dw = 0, dh = 0;
    EXPECT_TRUE(decode(png, dw, dh) == rgba);
    const size_t raw = size_t(w * 4 + 1) * size_t(h);
    EXPECT_LT(png.size(), raw + raw / 500) << "raw " << raw;
    EXPECT_EQ(png_encodeRgba(w, h, [&](int y, unsigned char* row) { return y < 500 && rows(y, row); }), "");
    EXPECT_EQ(png_encodeRgba(0, h, rows), "");
}

} // namespace
