#include "ChunkMemory.h"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace Platform {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

char* Map(std::size_t nBytes) {
    void* p = ::mmap(nullptr, nBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return static_cast<char*>(p);
}

}  // namespace

void CUnmapChunk::operator()(char* p) const { ::munmap(p, nBytes); }

CChunkMemory MapChunk(std::size_t nBytes) {
    if (nBytes % kHugePage != 0) return CChunkMemory(Map(nBytes), CUnmapChunk{nBytes});
    // Map a huge page more than asked, then give back the unaligned head and tail.
    char* const p = Map(nBytes + kHugePage);
    const std::size_t nHead = (kHugePage - reinterpret_cast<std::uintptr_t>(p) % kHugePage) % kHugePage;
    if (nHead > 0) ::munmap(p, nHead);
    ::munmap(p + nHead + nBytes, kHugePage - nHead);
    ::madvise(p + nHead, nBytes, MADV_HUGEPAGE);
    return CChunkMemory(p + nHead, CUnmapChunk{nBytes});
}

}  // namespace Platform
