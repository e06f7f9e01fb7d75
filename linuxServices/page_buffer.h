#pragma once

// Buffers of the size of an image, straight from the kernel. Every 4 KiB page touched for the first
// time is a fault, and on a virtual machine a costly one: a full-HD capture in pages malloc gave it
// spent more time in its faults than in compressing. What malloc would keep between captures it gives
// back in pieces, to be faulted in again.

#include <cstddef>
#include <memory>

// Frees what allocatePages() gave: from malloc when `mapping` is null, else the whole mapping.
struct PageBufferDeleter {
    void* mapping = nullptr;
    size_t length = 0;
    void operator()(unsigned char* p) const;
};
using PageBuffer = std::unique_ptr<unsigned char[], PageBufferDeleter>;

// At least `size` bytes, uninitialised, or null when memory ran out. Buffers of megabytes come in huge
// pages where the kernel gives them, as they are touched; smaller ones are filled in at once, in one
// call; small ones come from malloc.
PageBuffer allocatePages(size_t size);
