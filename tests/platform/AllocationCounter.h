#pragma once

#include <cstddef>

namespace Testing {

// Calls of the global operator new made so far by the calling thread, for tests that check
// that a path allocates nothing (or exactly what it should).
std::size_t AllocationsOnThisThread();

}  // namespace Testing
