#include "HandOffStartup.h"

#include <cstdlib>

#include "Descriptors.h"
#include "HandleArgument.h"

namespace Platform {

CHandOffStartup TakeHandOffStartup(int argc, char** argv) {
    CHandOffStartup startup;
    // setenv/unsetenv are unsafe once other threads run; this runs before any exists.
    if (const char* value = std::getenv(kHandOffStateVariable)) {
        const std::string text(value);
        ::unsetenv(kHandOffStateVariable);
        const CHandleArgument scanned = ScanHandleArgument(text);
        const bool plain = text.find_first_not_of("0123456789") == std::string::npos;
        std::string problem;
        if (!plain || scanned.m_eKind != CHandleArgument::eValue) {
            startup.m_problems.push_back(std::string(kHandOffStateVariable) + "=" + text +
                                         ": not a descriptor number");
        } else if (!CHandOffState::IsMemfd(scanned.m_nValue)) {
            // Not ours to read or close: it may be a socket or an inherited stdio stream.
            startup.m_problems.push_back(std::string(kHandOffStateVariable) + "=" + text +
                                         ": not a memfd");
        } else {
            if (!CHandOffState::ReadFromMemfd(scanned.m_nValue, startup.m_state, problem))
                startup.m_problems.push_back("hand-off state: " + problem);
            if (!CloseDescriptor(scanned.m_nValue, problem))
                startup.m_problems.push_back("hand-off state: " + problem);
        }
    }
    for (int i = 1; i < argc; ++i) {
        const CHandleArgument scanned = ScanHandleArgument(argv[i]);
        std::string reason;
        if (scanned.m_eKind != CHandleArgument::eValue) continue;
        if (CheckAdoptable(scanned.m_nValue, reason)) SetCloseOnExec(scanned.m_nValue);
        startup.m_verdicts.emplace(scanned.m_nValue, reason);
    }
    return startup;
}

}  // namespace Platform
