#include "HandleArgument.h"

#include <cstdint>

namespace Platform {

namespace {

// The white space of the C locale, which is what "%d" skips.
bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

CHandleArgument ScanHandleArgument(std::string_view argument) {
    CHandleArgument result;
    std::size_t i = 0;
    while (i < argument.size() && IsSpace(argument[i])) ++i;
    const std::size_t start = i;
    const bool negative = i < argument.size() && argument[i] == '-';
    if (i < argument.size() && (argument[i] == '-' || argument[i] == '+')) ++i;
    if (i == argument.size() || !IsDigit(argument[i])) return result;

    // Accumulate as a magnitude; once past 2^31 the value can only be out of range, but the
    // digits are still consumed so the reported text is the whole number.
    const std::uint64_t limit = negative ? 2147483648u : 2147483647u;
    std::uint64_t magnitude = 0;
    bool overflow = false;
    for (; i < argument.size() && IsDigit(argument[i]); ++i) {
        if (!overflow) {
            magnitude = magnitude * 10 + static_cast<std::uint64_t>(argument[i] - '0');
            overflow = magnitude > limit;
        }
    }
    if (overflow) {
        result.m_eKind = CHandleArgument::eOutOfRange;
        result.m_text = std::string(argument.substr(start, i - start));
        return result;
    }
    result.m_eKind = CHandleArgument::eValue;
    result.m_nValue = negative ? static_cast<int>(-static_cast<std::int64_t>(magnitude))
                               : static_cast<int>(magnitude);
    return result;
}

CHandleArgument ScanHandleArgument(const char* argument) {
    return ScanHandleArgument(std::string_view(argument ? argument : ""));
}

}  // namespace Platform
