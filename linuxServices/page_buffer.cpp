#include "page_buffer.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include <sys/mman.h>

namespace {
constexpr size_t HUGE_PAGE = size_t(2) << 20, SMALL_BUFFER = size_t(1) << 20;
}

void PageBufferDeleter::operator()(unsigned char* p) const {
    if (mapping)
        munmap(mapping, length);
    else
        std::free(p);
}

PageBuffer allocatePages(size_t size) {
    size = std::max<size_t>(size, 1);
    if (size < SMALL_BUFFER) return PageBuffer(static_cast<unsigned char*>(std::malloc(size)));
    const bool huge = size >= HUGE_PAGE;
    const size_t length = size + (huge ? HUGE_PAGE : 0);
    void* mapping = mmap(nullptr, length, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | (huge ? 0 : MAP_POPULATE), -1, 0);
    if (mapping == MAP_FAILED) return PageBuffer();
    if (!huge) return PageBuffer(static_cast<unsigned char*>(mapping), PageBufferDeleter{mapping, length});
    auto* data = reinterpret_cast<unsigned char*>((reinterpret_cast<uintptr_t>(mapping) + HUGE_PAGE - 1) &
                                                  ~(HUGE_PAGE - 1));
    madvise(data, size, MADV_HUGEPAGE); // a hint; without it the pages come one at a time
    return PageBuffer(data, PageBufferDeleter{mapping, length});
}
