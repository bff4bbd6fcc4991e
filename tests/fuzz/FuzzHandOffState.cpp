// The hand-off state decoder: any blob decodes or names its problem; what decodes whole
// encodes back to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "HandOffState.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    const std::vector<char> blob(pData, pData + nSize);
    Platform::CHandOffState state;
    std::string problem;
    const bool bWhole = Platform::CHandOffState::Decode(blob, state, problem);
    if (bWhole == !problem.empty()) std::abort();
    if (bWhole) {
        // Records come out ordered by descriptor, so only a sorted blob round-trips; the
        // decoded map must round-trip either way.
        Platform::CHandOffState again;
        if (!Platform::CHandOffState::Decode(state.Encode(), again, problem)) std::abort();
        if (again.m_pending != state.m_pending) std::abort();
        if (state.Encode().size() != blob.size()) std::abort();
    }
    return 0;
}
