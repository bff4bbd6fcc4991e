#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// UTF-8 at the byte level, for text the log keeps as bytes: where characters start, and the
// UTF-16 units that Qt and accessibility clients count in. The text is valid UTF-8 but where a
// slice or a chunk cut a character at either end.
namespace Platform {
namespace Utf8 {

// True for a continuation byte (10xxxxxx), the only kind that starts no character.
inline bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// UTF-16 units of the character a lead byte starts: two from a four-byte lead (11110xxx) on.
inline unsigned UnitsOfLead(char c) { return static_cast<unsigned char>(c) >= 0xF0 ? 2u : 1u; }

// The first character start at or after byte i (text.size() when none is left).
inline std::size_t CharStartAtOrAfter(std::string_view text, std::size_t i) {
    while (i < text.size() && IsContinuation(text[i])) ++i;
    return i;
}

// The start of the character that holds byte i; i itself at or past the end of text.
inline std::size_t CharStartAtOrBefore(std::string_view text, std::size_t i) {
    if (i >= text.size()) return i;
    while (i > 0 && IsContinuation(text[i])) --i;
    return i;
}

// The length of text without its last character when that is a multi-byte one, which a cut
// at a byte count may have split; otherwise the whole length.
std::size_t LengthBeforeLastMultiByteChar(std::string_view text);

// UTF-16 code units of UTF-8 text; a character cut at either end counts at its lead byte.
std::uint64_t Utf16Units(const char* pText, std::size_t nSize);

// The bytes of text that make its first nUnits UTF-16 units (a character half in is whole).
std::size_t BytesForUnits(std::string_view text, std::uint64_t nUnits);

// The start of the character of text that holds UTF-16 unit nUnit (text.size() past the end),
// and in *pUnitsBefore the units before that start.
std::size_t CharHoldingUnit(std::string_view text, std::uint64_t nUnit,
                            std::uint64_t* pUnitsBefore);

}  // namespace Utf8
}  // namespace Platform
