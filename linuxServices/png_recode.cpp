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
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The file's bytes: first any read before (`replay`), then the rest from the descriptor, each byte
// also kept in `record` while it is set.
struct Source {
    int fd = -1;
    std::string replay;
    size_t replayAt = 0;
    std::string* record = nullptr;
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

// Into the buffer; false at the end of the file, with errno set on an error.
bool fill(Source& s) {
    if (s.replayAt < s.replay.size()) {
        s.end = std::min(sizeof s.buffer, s.replay.size() - s.replayAt);
        std::memcpy(s.buffer, s.replay.data() + s.replayAt, s.end);
        s.replayAt += s.end;
        s.at = 0;
        return true;
    }
    ssize_t n;
    do {
        n = read(s.fd, s.buffer, sizeof s.buffer);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        if (n == 0) errno = 0;
        return false;
    }
    if (s.record) s.record->append(reinterpret_cast<const char*>(s.buffer), size_t(n));
    s.at = 0;
    s.end = size_t(n);
    return true;
}

void readSource(png_structp png, png_bytep data, size_t length) {
    auto* source = static_cast<Source*>(png_get_io_ptr(png));
    while (length > 0) {
        if (source->at == source->end && !fill(*source))
            png_error(png, errno ? std::strerror(errno) : "the file ends within the image");
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

bool readEnd(png_structp png) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_end(png, nullptr);
    return true;
}

struct Decoder {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~Decoder() { png_destroy_read_struct(&png, &info, nullptr); }

    // Up to the image's header; false with the reason in the source's message.
    bool start(Source& source) {
        png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &source, onError, onWarning);
        if (png) info = png_create_info_struct(png);
        if (!info) {
            std::snprintf(source.message, sizeof source.message, "out of memory");
            return false;
        }
        png_set_read_fn(png, &source, readSource);
        return readInfo(png, info);
    }
};

std::string failure(const Source& source, std::string& error, const char* otherwise) {
    error = source.message[0] ? source.message : otherwise;
    return std::string();
}

// The rectangle of the image whose header `d` has read, written again by png_encode.
std::string recode(Decoder& d, Source& source, const PngRect& rect, std::string& error) {
    const int passes = setRgbRows(d.png, d.info);
    const size_t channels = png_get_channels(d.png, d.info);
    if (passes == 0 || (channels != 3 && channels != 4)) return failure(source, error, "not a PNG image");
    const size_t rowBytes = png_get_rowbytes(d.png, d.info);
    const size_t height = png_get_image_height(d.png, d.info);

    // An interlaced image is complete only after its last pass: it is read whole.
    std::vector<unsigned char> pixels(rowBytes * (passes > 1 ? height : 1));
    if (passes > 1) {
        std::vector<png_bytep> rows(height);
        for (size_t i = 0; i < rows.size(); ++i)
            rows[i] = pixels.data() + i * rowBytes;
        if (!readImage(d.png, rows.data())) return failure(source, error, "not a PNG image");
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
    return png.empty() ? failure(source, error, "cannot encode the region") : png;
}

// Whether every row of an 8-bit RGBA image is opaque, read to its end; false also on an error, with the
// source's message set.
bool allOpaque(Decoder& d, size_t width, size_t height) {
    std::vector<unsigned char> row(width * 4);
    for (size_t y = 0; y < height; ++y) {
        if (!readRow(d.png, row.data())) return false;
        for (size_t i = 3; i < row.size(); i += 4)
            if (row[i] != 255) return false;
    }
    return readEnd(d.png);
}

} // namespace

std::string png_recodeRegion(int fd, const PngFit& fit, std::string& error) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        error = std::strerror(errno);
        return std::string();
    }
    std::string file; // the bytes read, while the file may yet go out as it is
    Source source;
    source.fd = fd;
    source.record = &file;
    Decoder d;
    if (!d.start(source)) return failure(source, error, "not a PNG image");
    PngRect rect;
    const size_t width = png_get_image_width(d.png, d.info), height = png_get_image_height(d.png, d.info);
    if (!fit(int(width), int(height), rect)) return std::string();
    // The whole of an image that already is what the reply holds, 8-bit RGBA and opaque, goes out as
    // the file it came in: the desktop's encoder compresses better than ours at our speed. A file
    // larger than such an image stored would be something else.
    const bool whole = rect.x == 0 && rect.y == 0 && size_t(rect.width) == width &&
                       size_t(rect.height) == height && png_get_bit_depth(d.png, d.info) == 8 &&
                       png_get_color_type(d.png, d.info) == PNG_COLOR_TYPE_RGBA &&
                       png_get_interlace_type(d.png, d.info) == PNG_INTERLACE_NONE &&
                       uint64_t(st.st_size) <= uint64_t(width) * height * 5 + (1 << 20);
    if (!whole) {
        source.record = nullptr;
        file = std::string();
        return recode(d, source, rect, error);
    }
    if (allOpaque(d, width, height)) {
        while (file.size() <= uint64_t(st.st_size) && fill(source)) {
        }
        if (errno) return failure(source, error, std::strerror(errno));
        if (file.size() != uint64_t(st.st_size))
            return failure(source, error, "the file changed while it was read");
        return file;
    }
    if (source.message[0]) return failure(source, error, "not a PNG image");
    // Not opaque: read again from the start, what was read coming first.
    Source again;
    again.fd = fd;
    again.replay = std::move(file);
    Decoder fresh;
    if (!fresh.start(again)) return failure(again, error, "not a PNG image");
    return recode(fresh, again, rect, error);
}
