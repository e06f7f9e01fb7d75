#include "page_buffer.h"

#include <algorithm>
#include <cstdlib>

#include <sys/mman.h>

namespace {
constexpr size_t SMALL_BUFFER = size_t(1) << 20;
// Up to the image of a 4K screen; a rarer, larger one is given back at once.
constexpr size_t KEPT_BYTES_MAX = size_t(64) << 20;

// The last mapping its thread freed, for the thread's next capture; given back when the thread ends.
struct KeptMapping {
    void* start = nullptr;
    size_t length = 0;
    ~KeptMapping() {
        if (start) munmap(start, length);
    }
};
thread_local KeptMapping t_kept;
} // namespace

void PageBufferDeleter::operator()(unsigned char* p) const {
    if (!mapping) return std::free(p);
    if (length > KEPT_BYTES_MAX) {
        munmap(mapping, length);
        return;
    }
    if (t_kept.start) munmap(t_kept.start, t_kept.length);
    t_kept.start = mapping;
    t_kept.length = length;
}

PageBuffer allocatePages(size_t size) {
    size = std::max<size_t>(size, 1);
    if (size < SMALL_BUFFER) return PageBuffer(static_cast<unsigned char*>(std::malloc(size)));
    // The kept mapping serves a size from half its own up, so that it follows the captures' sizes.
    if (t_kept.start && t_kept.length >= size && t_kept.length / 2 <= size) {
        const PageBufferDeleter deleter{t_kept.start, t_kept.length};
        t_kept = {};
        return PageBuffer(static_cast<unsigned char*>(deleter.mapping), deleter);
    }
    void* mapping =
        mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (mapping == MAP_FAILED) return PageBuffer();
    return PageBuffer(static_cast<unsigned char*>(mapping), PageBufferDeleter{mapping, size});
}
