// The confirmation channel's judgements of what arrived, fed one byte more at a time as
// reads may cut it: once decided, a verdict is exact.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "CConfirmationChannel.h"

using CChannel = CNoxSocket::CConfirmationChannel;

namespace {

bool IsReadyLine(const std::string& text) {
    if (text.compare(0, 6, "ready ") != 0 || text.size() < 8 || text.back() != '\n') return false;
    const std::string digits = text.substr(6, text.size() - 7);
    return digits.size() <= 19 && digits.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    const std::string input(reinterpret_cast<const char*>(pData), nSize);
    bool bReadyDecided = false, bAnswerDecided = false;
    for (std::size_t n = 1; n <= input.size(); ++n) {
        const std::string text = input.substr(0, n);
        CChannel::CResult ready;
        if (!bReadyDecided && CChannel::JudgeReady(text, ready)) {
            bReadyDecided = true;
            const bool bReady = ready.m_eOutcome == CChannel::eReady;
            if (bReady != IsReadyLine(text)) std::abort();
            if (bReady && ready.m_nCount != std::stoull(text.substr(6, n - 7))) std::abort();
            if (!bReady && ready.m_text != text) std::abort();
        }
        CChannel::CResult answer;
        if (!bAnswerDecided && CChannel::JudgeAnswer(text, answer)) {
            bAnswerDecided = true;
            if ((answer.m_eOutcome == CChannel::eCommit) != (text == "commit\n")) std::abort();
        }
    }
    return 0;
}
