#include "countingnew.h"

#include <cstdlib>
#include <new>

std::atomic<long> CountingNew::processAllocations{0};

void *operator new(std::size_t size) {
    CountingNew::processAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void *p) noexcept {
    std::free(p);
}

void operator delete(void *p, std::size_t) noexcept {
    std::free(p);
}
