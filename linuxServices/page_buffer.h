#pragma once

// Buffers of the size of an image, straight from the kernel. Every 4 KiB page touched for the first
// time is a fault, and on a virtual machine a costly one: a full-HD capture in pages malloc gave it
// spent more time in its faults than in compressing, and malloc gives such buffers back at once. So
// each thread keeps the last one it freed for its next capture.

#include <cstddef>
#include <memory>

// Frees what allocatePages() gave: from malloc when `mapping` is null, else the whole mapping.
struct PageBufferDeleter {
    void* mapping = nullptr;
    size_t length = 0;
    void operator()(unsigned char* p) const;
};
using PageBuffer = std::unique_ptr<unsigned char[], PageBufferDeleter>;

// At least `size` bytes, uninitialised, or null when memory ran out. Buffers of a megabyte or more
// come filled in at once, in one call, or are the thread's kept one; smaller ones come from malloc.
PageBuffer allocatePages(size_t size);
