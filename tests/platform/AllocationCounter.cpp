// Replaces the global operator new of the test program with one that counts per thread.
#include "AllocationCounter.h"

#include <cstdlib>
#include <new>

namespace {

thread_local std::size_t t_nAllocations = 0;

}  // namespace

#ifndef VELMORA_SANITIZED
void* operator new(std::size_t nSize) {
    ++t_nAllocations;
    if (void* p = std::malloc(nSize ? nSize : 1)) return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }

void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace Testing {

std::size_t AllocationsOnThisThread() { return t_nAllocations; }

bool AllocationsAreCounted() {
#ifdef VELMORA_SANITIZED
    return false;
#else
    return true;
#endif
}

}  // namespace Testing
