#pragma once

#include <cstddef>
#include <memory>

namespace Platform {

// Returns a mapping made by MapChunk to the system.
struct CUnmapChunk {
    std::size_t nBytes = 0;
    void operator()(char* p) const;
};
using CChunkMemory = std::unique_ptr<char[], CUnmapChunk>;

// nBytes of fresh memory straight from the system. A whole number of huge pages (2 MiB) is
// aligned to them and asks for them, so filling it costs a page fault per 2 MiB rather than
// per 4 KiB; the system falls back to small pages by itself. Throws std::bad_alloc.
CChunkMemory MapChunk(std::size_t nBytes);

}  // namespace Platform
