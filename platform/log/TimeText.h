#pragma once

#include <cstdint>
#include <string>

namespace Platform::TimeText {

// A time in milliseconds since the epoch as the log box's gutter shows it, local time:
// HH:MM:SS.mmm.
std::string Clock(std::int64_t nTime);
// The same as Copy and Save Log As put before a line, local time and a space after:
// YYYY-MM-DDTHH:MM:SS.mmm followed by a space.
std::string Stamp(std::int64_t nTime);

}  // namespace Platform::TimeText
