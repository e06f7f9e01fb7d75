// Base64 encoding of capture results: our encoder against GLib's, on the same bytes in the same run.

#include "platform_common.h"

#include <benchmark/benchmark.h>
#include <glib.h>

#include <random>
#include <string>
#include <vector>

namespace {

// PNG data is compressed, so random bytes stand in for it well.
std::vector<unsigned char> randomBytes(size_t n) {
    std::mt19937 gen(12345);
    std::vector<unsigned char> bytes(n);
    for (auto& b : bytes)
        b = static_cast<unsigned char>(gen());
    return bytes;
}

void ownEncoder(benchmark::State& state, size_t size) {
    const auto input = randomBytes(size);
    for (auto _ : state) {
        std::string out = base64Encode(input.data(), input.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}

void glibEncoder(benchmark::State& state, size_t size) {
    const auto input = randomBytes(size);
    for (auto _ : state) {
        gchar* out = g_base64_encode(input.data(), input.size());
        benchmark::DoNotOptimize(out);
        g_free(out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}

} // namespace

// Each size for both encoders in turn; 8 MiB is a large screenshot PNG.
BENCHMARK_CAPTURE(ownEncoder, 1KiB, 1 << 10);
BENCHMARK_CAPTURE(glibEncoder, 1KiB, 1 << 10);
BENCHMARK_CAPTURE(ownEncoder, 64KiB, 64 << 10);
BENCHMARK_CAPTURE(glibEncoder, 64KiB, 64 << 10);
BENCHMARK_CAPTURE(ownEncoder, 8MiB, 8 << 20);
BENCHMARK_CAPTURE(glibEncoder, 8MiB, 8 << 20);

BENCHMARK_MAIN();
