// A message's text: any bytes give valid UTF-8 without a line break, ending at the first zero.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "MessageText.h"

namespace {

bool IsValidUtf8(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = text[i];
        const int n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > text.size()) return false;
        for (int k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    const char* pBytes = reinterpret_cast<const char*>(pData);
    std::string line = "127.0.0.1:1 -> ";
    AppendMessageText(line, pBytes, nSize);
    if (line.compare(0, 15, "127.0.0.1:1 -> ") != 0) std::abort();
    if (line.find_first_of(std::string("\n\r\0", 3)) != std::string::npos) std::abort();
    if (!IsValidUtf8(line)) std::abort();
    // Bytes past the first zero change nothing.
    const std::string bytes(pBytes, nSize);
    const std::size_t zero = bytes.find('\0');
    if (zero != std::string::npos) {
        std::string head = "127.0.0.1:1 -> ";
        AppendMessageText(head, pBytes, zero);
        if (head != line) std::abort();
    }
    return 0;
}
