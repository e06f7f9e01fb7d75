// Decoding with libpng, one row at a time. Its errors return through longjmp: each call into it sits
// alone in a small function that catches the jump, so that no C++ object's frame is ever jumped over.
#include "png_recode.h"

#include "png_encode.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <png.h>
#include <unistd.h>

namespace {

struct Source {
    int fd = -1;
    unsigned char buffer[65536];
    size_t at = 0, end = 0;
    char message[200] = "";
};

void onError(png_structp png, png_const_charp text) {
    auto* source = static_cast<Source*>(png_get_error_ptr(png));
    std::snprintf(source->message, sizeof source->message, "%s", text);
    png_longjmp(png, 1);
}

void onWarning(png_structp, png_const_charp) {}

void readSource(png_structp png, png_bytep data, size_t length) {
    auto* source = static_cast<Source*>(png_get_io_ptr(png));
    while (length > 0) {
        if (source->at == source->end) {
            const ssize_t n = read(source->fd, source->buffer, sizeof source->buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) png_error(png, std::strerror(errno));
            if (n == 0) png_error(png, "the file ends within the image");
            source->at = 0;
            source->end = size_t(n);
        }
        const size_t take = std::min(length, source->end - source->at);
        std::memcpy(data, source->buffer + source->at, take);
        source->at += take;
        data += take;
        length -= take;
    }
}

bool readInfo(png_structp png, png_infop info) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_info(png, info);
    return true;
}

// 8-bit RGB or RGBA rows from every format; the number of passes, 0 on failure.
int setRgbRows(png_structp png, png_infop info) {
    if (setjmp(png_jmpbuf(png))) return 0;
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    return passes;
}

bool readRow(png_structp png, png_bytep row) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_row(png, row, nullptr);
    return true;
}

bool readImage(png_structp png, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_image(png, rows);
    return true;
}

struct Decoder {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~Decoder() { png_destroy_read_struct(&png, &info, nullptr); }
};

} // namespace

std::string png_recodeRegion(int fd, const PngFit& fit, std::string& error) {
    Source source;
    source.fd = fd;
    Decoder d;
    d.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &source, onError, onWarning);
    if (d.png) d.info = png_create_info_struct(d.png);
    if (!d.info) {
        error = "out of memory";
        return std::string();
    }
    png_set_read_fn(d.png, &source, readSource);
    const auto failed = [&] {
        error = source.message[0] ? source.message : "not a PNG image";
        return std::string();
    };
    if (!readInfo(d.png, d.info)) return failed();
    PngRect rect;
    const int width = int(png_get_image_width(d.png, d.info)),
              height = int(png_get_image_height(d.png, d.info));
    if (!fit(width, height, rect)) return std::string();
    const int passes = setRgbRows(d.png, d.info);
    const size_t channels = png_get_channels(d.png, d.info);
    if (passes == 0 || (channels != 3 && channels != 4)) return failed();
    const size_t rowBytes = png_get_rowbytes(d.png, d.info);

    // An interlaced image is complete only after its last pass: it is read whole.
    std::vector<unsigned char> pixels(rowBytes * (passes > 1 ? size_t(height) : 1));
    if (passes > 1) {
        std::vector<png_bytep> rows(static_cast<size_t>(height));
        for (size_t i = 0; i < rows.size(); ++i)
            rows[i] = pixels.data() + i * rowBytes;
        if (!readImage(d.png, rows.data())) return failed();
    }
    int next = 0; // the next row libpng gives
    const std::string png = png_encodeRgba(rect.width, rect.height, [&](int y, unsigned char* rgba) {
        const unsigned char* row = pixels.data();
        if (passes > 1) {
            row += size_t(rect.y + y) * rowBytes;
        } else {
            for (; next <= rect.y + y; ++next)
                if (!readRow(d.png, pixels.data())) return false;
        }
        row += size_t(rect.x) * channels;
        for (int i = 0; i < rect.width; ++i, row += channels, rgba += 4) {
            std::memcpy(rgba, row, 3);
            rgba[3] = 255;
        }
        return true;
    });
    if (png.empty()) {
        if (!source.message[0])
            std::snprintf(source.message, sizeof source.message, "cannot encode the region");
        return failed();
    }
    return png;
}
