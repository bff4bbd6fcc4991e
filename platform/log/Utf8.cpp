#include "Utf8.h"

#include <algorithm>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace Platform {
namespace Utf8 {

std::size_t LengthBeforeLastMultiByteChar(std::string_view text) {
    std::size_t nEnd = text.size();
    while (nEnd > 0 && IsContinuation(text[nEnd - 1])) --nEnd;
    if (nEnd > 0 && static_cast<unsigned char>(text[nEnd - 1]) >= 0xC0) return nEnd - 1;
    return text.size();
}

std::uint64_t Utf16Units(const char* pText, std::size_t nSize) {
    // One unit per byte that is not a continuation (10xxxxxx), one more for a four-byte lead
    // (11110xxx). A 64 MiB line is counted in the UI thread's turn that appends it, so the
    // bulk goes sixteen bytes at a time.
    std::uint64_t nUnits = 0;
    std::size_t i = 0;
#ifdef __SSE2__
    // As signed bytes, continuations are below -64 and four-byte leads -16 to -1. The
    // per-byte counters (a mask is -1) are summed before they can wrap.
    const __m128i kContinuationTop = _mm_set1_epi8(-64);
    const __m128i kFourByteBottom = _mm_set1_epi8(-17);
    const __m128i kZero = _mm_setzero_si128();
    while (i + 16 <= nSize) {
        __m128i continuations = kZero;
        __m128i fourBytes = kZero;
        for (int nRound = 0; nRound < 255 && i + 16 <= nSize; ++nRound, i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pText + i));
            continuations = _mm_sub_epi8(continuations, _mm_cmplt_epi8(v, kContinuationTop));
            fourBytes = _mm_sub_epi8(fourBytes, _mm_and_si128(_mm_cmpgt_epi8(v, kFourByteBottom),
                                                              _mm_cmplt_epi8(v, kZero)));
        }
        const __m128i sums =
            _mm_sub_epi64(_mm_sad_epu8(fourBytes, kZero), _mm_sad_epu8(continuations, kZero));
        nUnits += static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums) +
                                             _mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    }
    nUnits += i;  // every byte of the bulk, less continuations, plus four-byte leads, above
#endif
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    for (; i + 8 <= nSize; i += 8) {
        std::uint64_t w = 0;
        std::memcpy(&w, pText + i, 8);
        const std::uint64_t nContinuation = w & ~(w << 1) & kHigh;
        const std::uint64_t nFourByte = w & (w << 1) & (w << 2) & (w << 3) & kHigh;
        nUnits += 8 - (((nContinuation >> 7) * kOnes) >> 56) + (((nFourByte >> 7) * kOnes) >> 56);
    }
    const auto* p = reinterpret_cast<const unsigned char*>(pText);
    for (; i < nSize; ++i)
        nUnits +=
            static_cast<unsigned>((p[i] & 0xC0) != 0x80) + static_cast<unsigned>(p[i] >= 0xF0);
    return nUnits;
}

std::size_t BytesForUnits(std::string_view text, std::uint64_t nUnits) {
    std::size_t i = 0;
    while (i < text.size() && nUnits > 0) {
        nUnits -= std::min<std::uint64_t>(nUnits, UnitsOfLead(text[i]));
        i = CharStartAtOrAfter(text, i + 1);
    }
    return i;
}

std::size_t CharHoldingUnit(std::string_view text, std::uint64_t nUnit,
                            std::uint64_t* pUnitsBefore) {
    std::uint64_t nUnits = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (IsContinuation(text[i])) continue;
        const unsigned nCharUnits = UnitsOfLead(text[i]);
        if (nUnits + nCharUnits > nUnit) {
            *pUnitsBefore = nUnits;
            return i;
        }
        nUnits += nCharUnits;
    }
    *pUnitsBefore = nUnits;
    return text.size();
}

}  // namespace Utf8
}  // namespace Platform
