// PNG encoding with ISA-L's deflate, streamed: rows are filtered a strip at a time and compressed as
// they come. On screen content its fastest levels are several times faster than libdeflate's and
// zlib's; on content that will not shrink it keeps pace with copying. The figures that chose it are in
// the README's benchmarks (bench/bench_x11).
#include "png_encode.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

namespace {

// ISA-L's level 1: on a desktop as small as level 2 and as fast; levels 0 and 3 were larger or
// several times slower.
constexpr int LEVEL = 1;
// Rows are compressed in strips of about this many bytes: large enough for the compressor's pace,
// small enough to stay in the cache.
constexpr size_t STRIP_BYTES = 256 * 1024;
// Each IDAT chunk holds at most this many zlib bytes, well within PNG's 2^31 - 1.
constexpr size_t CHUNK_DATA_MAX = size_t(1) << 28;

// The compressor's state and its level's buffer, made once per thread and kept: making them takes
// fresh memory (about 360 KiB), whose first touch cost more than compressing a small capture.
struct Compressor {
    isal_zstream stream;
    std::vector<uint8_t> levelBuffer = std::vector<uint8_t>(ISAL_DEF_LVL1_DEFAULT);
};

Compressor& compressor() {
    thread_local std::unique_ptr<Compressor> kept;
    if (!kept) kept = std::make_unique<Compressor>();
    return *kept;
}

void put32(std::string& out, uint32_t v) {
    const char bytes[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    out.append(bytes, 4);
}

// A chunk is begun with a placeholder length and ended once its data is in place.
size_t beginChunk(std::string& out, const char* type) {
    put32(out, 0);
    out.append(type, 4);
    return out.size() - 4;
}

void endChunk(std::string& out, size_t typeAt) {
    const size_t length = out.size() - typeAt - 4;
    for (int i = 0; i < 4; ++i)
        out[typeAt - 4 + size_t(i)] = char(length >> (24 - 8 * i));
    put32(out, crc32_gzip_refl(0, reinterpret_cast<const unsigned char*>(out.data()) + typeAt, length + 4));
}

// The zlib stream `data`, in as many IDAT chunks as it needs.
void appendIdat(std::string& out, const char* data, size_t n) {
    for (size_t at = 0; at < n;) {
        const size_t len = std::min(n - at, CHUNK_DATA_MAX);
        const size_t chunk = beginChunk(out, "IDAT");
        out.append(data + at, len);
        at += len;
        endChunk(out, chunk);
    }
}

// The filters of PNG's method 0 for four bytes a pixel: `out` gets the filtered bytes of `row`, whose
// predecessor is `above` (zeros for the first row).
void filterSub(const unsigned char* row, size_t n, unsigned char* out) {
    for (size_t i = 0; i < 4 && i < n; ++i)
        out[i] = row[i];
    for (size_t i = 4; i < n; ++i)
        out[i] = (unsigned char)(row[i] - row[i - 4]);
}

void filterUp(const unsigned char* row, const unsigned char* above, size_t n, unsigned char* out) {
    for (size_t i = 0; i < n; ++i)
        out[i] = (unsigned char)(row[i] - above[i]);
}

void filterPaeth(const unsigned char* row, const unsigned char* above, size_t n, unsigned char* out) {
    for (size_t i = 0; i < n; ++i) {
        const int a = i >= 4 ? row[i - 4] : 0, b = above[i], c = i >= 4 ? above[i - 4] : 0;
        const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
        const int predicted = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
        out[i] = (unsigned char)(row[i] - predicted);
    }
}

// libpng's measure of a filtered row: small residues, read as signed, compress best.
size_t magnitude(const unsigned char* bytes, size_t n) {
    size_t sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += size_t(std::abs(int(static_cast<signed char>(bytes[i]))));
    return sum;
}

// Writes the filter type byte and the filtered row at `out`; `spare` is scratch of n bytes.
void filterRow(PngFilter filter, const unsigned char* row, const unsigned char* above, size_t n,
               unsigned char* out, unsigned char* spare) {
    switch (filter) {
    case PngFilter::Up:
        out[0] = 2;
        filterUp(row, above, n, out + 1);
        return;
    case PngFilter::Sub:
        out[0] = 1;
        filterSub(row, n, out + 1);
        return;
    case PngFilter::Paeth:
        out[0] = 4;
        filterPaeth(row, above, n, out + 1);
        return;
    case PngFilter::Cheapest:
        break;
    }
    filterUp(row, above, n, out + 1);
    filterSub(row, n, spare);
    const size_t up = magnitude(out + 1, n), sub = magnitude(spare, n), none = magnitude(row, n);
    if (none < up && none <= sub) {
        out[0] = 0;
        std::memcpy(out + 1, row, n);
    } else if (sub < up) {
        out[0] = 1;
        std::memcpy(out + 1, spare, n);
    } else {
        out[0] = 2;
    }
}

// Compresses the filtered bytes `in` onto `out` from `used` on, the last time with the stream's end.
// `out`'s capacity is the bound of the whole stream, so growing it in steps touches only the pages it
// is written to.
bool compress(isal_zstream& stream, const unsigned char* in, size_t n, bool last, std::string& out,
              size_t& used) {
    stream.next_in = const_cast<uint8_t*>(in);
    stream.avail_in = uint32_t(n);
    stream.end_of_stream = last;
    do {
        if (out.size() - used < n / 2 + 1024) out.resize(std::max(out.size(), used + n + 1024));
        stream.next_out = reinterpret_cast<uint8_t*>(&out[used]);
        stream.avail_out = uint32_t(std::min<size_t>(out.size() - used, UINT32_MAX));
        const uint32_t room = stream.avail_out;
        if (isal_deflate(&stream) != COMP_OK) return false;
        used += room - stream.avail_out;
    } while (stream.avail_in > 0 || (last && stream.internal_state.state != ZSTATE_END));
    return true;
}

} // namespace

std::string png_encodeRgba(int width, int height, const PngRowSource& rows, PngFilter filter) {
    if (width <= 0 || height <= 0) return std::string();
    const size_t rowBytes = size_t(width) * 4, lineBytes = rowBytes + 1;
    const size_t stripRows = std::max<size_t>(1, STRIP_BYTES / lineBytes);
    Compressor& c = compressor();
    isal_deflate_init(&c.stream);
    c.stream.level = LEVEL;
    c.stream.level_buf = c.levelBuffer.data();
    c.stream.level_buf_size = uint32_t(c.levelBuffer.size());
    c.stream.gzip_flag = IGZIP_ZLIB;

    try {
        std::vector<unsigned char> buffers(3 * rowBytes + stripRows * lineBytes);
        unsigned char* row = buffers.data();
        unsigned char* above = row + rowBytes; // zeros for the first row
        unsigned char* spare = above + rowBytes;
        unsigned char* strip = spare + rowBytes;
        std::string png;
        // Room for content that does not shrink: stored blocks, five bytes for each 64 KiB.
        const size_t total = lineBytes * size_t(height);
        png.reserve(8 + 25 + 12 + total + total / 8192 + 1024 + 12);
        png.append("\x89PNG\r\n\x1a\n", 8);
        const size_t header = beginChunk(png, "IHDR");
        put32(png, uint32_t(width));
        put32(png, uint32_t(height));
        png.append("\x08\x06\x00\x00\x00",
                   5); // 8 bits a sample, RGBA, deflate, filters of method 0, no interlace
        endChunk(png, header);
        const size_t idat = beginChunk(png, "IDAT");
        size_t used = png.size();
        for (int y = 0; y < height;) {
            size_t filled = 0;
            for (; filled < stripRows && y < height; ++filled, ++y) {
                if (!rows(y, row)) return std::string();
                filterRow(filter, row, above, rowBytes, strip + filled * lineBytes, spare);
                std::swap(row, above);
            }
            if (!compress(c.stream, strip, filled * lineBytes, y == height, png, used)) return std::string();
        }
        png.resize(used);
        if (used - idat - 4 > CHUNK_DATA_MAX) { // into chunks PNG allows, a rare copy
            const std::string zlib = png.substr(idat + 4);
            png.resize(idat - 4);
            appendIdat(png, zlib.data(), zlib.size());
        } else {
            endChunk(png, idat);
        }
        endChunk(png, beginChunk(png, "IEND"));
        return png;
    } catch (const std::bad_alloc&) {
        return std::string();
    }
}
