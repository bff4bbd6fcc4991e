// A descriptor argument scanned as "%d" does: the value agrees with strtoll, never wraps.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "HandleArgument.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    const std::string argument(reinterpret_cast<const char*>(pData), nSize);
    const Platform::CHandleArgument scanned = Platform::ScanHandleArgument(argument);
    // The C string form stops at the first zero byte, as a command line would.
    const Platform::CHandleArgument asCString = Platform::ScanHandleArgument(argument.c_str());
    const std::string cString = argument.c_str();
    const Platform::CHandleArgument ofPrefix = Platform::ScanHandleArgument(cString);
    if (asCString.m_eKind != ofPrefix.m_eKind || asCString.m_nValue != ofPrefix.m_nValue)
        std::abort();
    // strtoll agrees wherever it sees a number without saturating.
    errno = 0;
    char* pEnd = nullptr;
    const long long value = std::strtoll(cString.c_str(), &pEnd, 10);
    if (pEnd == cString.c_str() || ofPrefix.m_eKind == Platform::CHandleArgument::eNoNumber)
        return 0;
    const bool bFits = errno == 0 && value >= INT_MIN && value <= INT_MAX;
    if (bFits != (ofPrefix.m_eKind == Platform::CHandleArgument::eValue)) std::abort();
    if (bFits && ofPrefix.m_nValue != value) std::abort();
    return 0;
}
