#pragma once

#include <cstddef>

namespace Testing {

// Calls of the global operator new made so far by the calling thread, for tests that check
// that a path allocates nothing (or exactly what it should).
std::size_t AllocationsOnThisThread();

// False in a sanitizer build, whose runtime owns operator new: nothing is counted there, and
// tests that count skip themselves.
bool AllocationsAreCounted();

}  // namespace Testing
