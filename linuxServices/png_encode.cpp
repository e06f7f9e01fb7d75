// PNG encoding with libdeflate: the whole filtered image is compressed in one call, which on screen
// content is several times faster than zlib's stream at its fastest level, and the files are smaller.
// The figures that chose the filter and the level are in the README's benchmarks (bench/bench_x11).
#include "png_encode.h"

#include "page_buffer.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <libdeflate.h>

namespace {

// libdeflate's levels, chosen by how well a sample of the image compresses: on photographs and the
// like its fastest level is also the fastest by far, while on the long runs of a desktop level 3 is
// faster than level 1 and its files are smaller.
constexpr int FAST_LEVEL = 1, RUNS_LEVEL = 3;
// Above this size an image is first tried in sample rows: compressing all of content that will not
// shrink (noise, video) costs a hundred milliseconds or more for a few per cent.
constexpr size_t SAMPLE_ABOVE_BYTES = 1 << 20;
constexpr int SAMPLE_EVERY_ROWS = 16;
// Stored when the sample keeps more than this share of its size: sending the difference costs less
// than compressing it.
constexpr double STORE_ABOVE_RATIO = 0.75;
// Level 3 when the sample shrinks below this share.
constexpr double RUNS_BELOW_RATIO = 0.1;
// Each IDAT chunk holds at most this many zlib bytes, well within PNG's 2^31 - 1.
constexpr size_t CHUNK_DATA_MAX = size_t(1) << 28;
constexpr size_t STORED_BLOCK_MAX = 65535;

struct CompressorDeleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

// A compressor of `level`, made once per thread and kept: making one takes fresh memory (hundreds of
// kilobytes at level 3), whose first touch cost more than compressing a small capture.
libdeflate_compressor* compressorFor(int level) {
    thread_local std::unique_ptr<libdeflate_compressor, CompressorDeleter> fast, runs;
    auto& kept = level == FAST_LEVEL ? fast : runs;
    if (!kept) kept.reset(libdeflate_alloc_compressor(level));
    return kept.get();
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
    put32(out, libdeflate_crc32(0, out.data() + typeAt, length + 4));
}

size_t storedSize(size_t n) {
    return 2 + n + 5 * ((n + STORED_BLOCK_MAX - 1) / STORED_BLOCK_MAX) + 4;
}

// A zlib stream of stored blocks, in as many IDAT chunks as it needs.
void appendStored(std::string& out, const unsigned char* data, size_t n) {
    const uint32_t adler = libdeflate_adler32(1, data, n);
    const size_t blocksPerChunk = CHUNK_DATA_MAX / (STORED_BLOCK_MAX + 5);
    size_t at = 0;
    for (bool first = true; first || at < n; first = false) {
        const size_t chunk = beginChunk(out, "IDAT");
        if (first) out.append("\x78\x01", 2);
        for (size_t b = 0; b < blocksPerChunk && at < n; ++b) {
            const size_t len = std::min(n - at, STORED_BLOCK_MAX);
            const char header[5] = {char(at + len == n), char(len), char(len >> 8), char(~len),
                                    char(~len >> 8)};
            out.append(header, 5);
            out.append(reinterpret_cast<const char*>(data) + at, len);
            at += len;
        }
        if (at == n) put32(out, adler);
        endChunk(out, chunk);
    }
}

void appendIdat(std::string& out, const unsigned char* zlib, size_t n) {
    for (size_t at = 0; at < n;) {
        const size_t len = std::min(n - at, CHUNK_DATA_MAX);
        const size_t chunk = beginChunk(out, "IDAT");
        out.append(reinterpret_cast<const char*>(zlib) + at, len);
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

// The share of their size that rows spread over the image keep when compressed at the fast level.
double sampleRatio(libdeflate_compressor* fast, const unsigned char* filtered, size_t lineBytes, int height) {
    const size_t rows = size_t((height + SAMPLE_EVERY_ROWS - 1) / SAMPLE_EVERY_ROWS);
    const size_t n = rows * lineBytes;
    PageBuffer sample = allocatePages(n), packed = allocatePages(n);
    if (!sample || !packed) return 0.5;
    for (size_t r = 0; r < rows; ++r)
        std::memcpy(sample.get() + r * lineBytes, filtered + r * SAMPLE_EVERY_ROWS * lineBytes, lineBytes);
    const size_t size = libdeflate_zlib_compress(fast, sample.get(), n, packed.get(), n);
    return size == 0 ? 1.0 : double(size) / double(n);
}

} // namespace

std::string png_encodeRgba(int width, int height, const PngRowSource& rows, PngFilter filter) {
    if (width <= 0 || height <= 0) return std::string();
    const size_t rowBytes = size_t(width) * 4, lineBytes = rowBytes + 1;
    const size_t total = lineBytes * size_t(height);
    PageBuffer filtered = allocatePages(total), rowsBuffer = allocatePages(3 * rowBytes);
    libdeflate_compressor* compressor = compressorFor(FAST_LEVEL);
    if (!filtered || !rowsBuffer || !compressor) return std::string();
    unsigned char* row = rowsBuffer.get();
    unsigned char* above = row + rowBytes;
    unsigned char* spare = above + rowBytes;
    std::memset(above, 0, rowBytes);
    for (int y = 0; y < height; ++y) {
        if (!rows(y, row)) return std::string();
        filterRow(filter, row, above, rowBytes, filtered.get() + size_t(y) * lineBytes, spare);
        std::swap(row, above);
    }
    rowsBuffer.reset();

    std::string png;
    png.reserve(8 + 25 + 12 + 12 + std::min(total / 2, size_t(1) << 20));
    png.append("\x89PNG\r\n\x1a\n", 8);
    const size_t header = beginChunk(png, "IHDR");
    put32(png, uint32_t(width));
    put32(png, uint32_t(height));
    png.append("\x08\x06\x00\x00\x00",
               5); // 8 bits a sample, RGBA, deflate, filters of method 0, no interlace
    endChunk(png, header);

    const double ratio =
        total > SAMPLE_ABOVE_BYTES ? sampleRatio(compressor, filtered.get(), lineBytes, height) : 0.5;
    const bool store = ratio > STORE_ABOVE_RATIO;
    if (ratio < RUNS_BELOW_RATIO) compressor = compressorFor(RUNS_LEVEL);
    if (!compressor) return std::string();
    size_t packedSize = 0;
    PageBuffer packed;
    if (!store) {
        // Anything larger than the stored stream is not worth keeping.
        packed = allocatePages(storedSize(total));
        if (!packed) return std::string();
        packedSize = libdeflate_zlib_compress(compressor, filtered.get(), total, packed.get(),
                                              storedSize(total) - 1);
    }
    if (packedSize == 0) {
        packed.reset();
        png.reserve(png.size() + storedSize(total) + 12 * (total / CHUNK_DATA_MAX + 1) + 12);
        appendStored(png, filtered.get(), total);
    } else {
        filtered.reset();
        png.reserve(png.size() + packedSize + 12 * (packedSize / CHUNK_DATA_MAX + 1) + 12);
        appendIdat(png, packed.get(), packedSize);
    }
    endChunk(png, beginChunk(png, "IEND"));
    return png;
}
