#pragma once

namespace Platform {

// The machine's physical memory in bytes, or -1 when the system does not say.
long long PhysicalMemory();

}  // namespace Platform
