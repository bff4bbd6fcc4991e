#pragma once

#include <cstdint>
#include <string>

namespace Platform {

// Lines that became lines at one moment: a block of them (LF between lines) and the wall
// clock, in milliseconds since the epoch, at which the first of them began.
struct CTimedLines {
    std::int64_t nTime = 0;  // milliseconds since the epoch
    std::string text;        // the lines, LF between them
};

}  // namespace Platform
