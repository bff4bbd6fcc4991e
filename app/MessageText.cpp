#include "MessageText.h"

namespace {

using Byte = unsigned char;

// The length of the well-formed UTF-8 sequence of two to four bytes at p, or 0. Overlong
// forms, surrogates and code points past U+10FFFF are not well-formed.
std::size_t SequenceLength(const Byte* p, const Byte* pEnd) {
    const Byte b = *p;
    if (b < 0xC2 || b > 0xF4) return 0;
    const std::size_t n = b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    if (static_cast<std::size_t>(pEnd - p) < n) return 0;
    char32_t uc = b & (0x7F >> n);
    for (std::size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        uc = (uc << 6) | (p[i] & 0x3F);
    }
    if (n == 3 && (uc < 0x800 || (uc >= 0xD800 && uc <= 0xDFFF))) return 0;
    if (n == 4 && (uc < 0x10000 || uc > 0x10FFFF)) return 0;
    return n;
}

}  // namespace

void AppendMessageText(std::string& line, const char* pBytes, std::size_t nBytes) {
    const Byte* p = reinterpret_cast<const Byte*>(pBytes);
    const Byte* const pEnd = p + nBytes;
    // Enough for a clean text; only replaced bytes make the line grow past it.
    line.reserve(line.size() + nBytes);
    while (p < pEnd) {
        // The longest run that passes unchanged goes in with one copy.
        const Byte* const pRun = p;
        while (p < pEnd) {
            const Byte b = *p;
            if ((b >= 0x20 && b < 0x7F) || b == '\t') {
                ++p;
            } else if (b >= 0x80) {
                const std::size_t n = SequenceLength(p, pEnd);
                if (n == 0) break;
                p += n;
            } else {
                break;
            }
        }
        line.append(reinterpret_cast<const char*>(pRun), static_cast<std::size_t>(p - pRun));
        if (p == pEnd) break;
        const Byte b = *p++;
        if (b == 0) break;
        if (b < 0x20) {
            const char symbol[] = {'\xE2', '\x90', static_cast<char>(0x80 + b)};
            line.append(symbol, sizeof symbol);
        } else if (b == 0x7F) {
            line.append("\xE2\x90\xA1", 3);
        } else {
            line.append("\xEF\xBF\xBD", 3);
        }
    }
}
