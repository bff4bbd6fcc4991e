#include "Memory.h"

#include <unistd.h>

namespace Platform {

long long PhysicalMemory() {
    const long nPages = ::sysconf(_SC_PHYS_PAGES);
    const long nPageSize = ::sysconf(_SC_PAGESIZE);
    if (nPages <= 0 || nPageSize <= 0) return -1;
    return static_cast<long long>(nPages) * nPageSize;
}

}  // namespace Platform
