#pragma once

#include <string>
#include <string_view>

namespace Platform {

// One command-line argument of the new process, scanned as C's "%d" does: leading white
// space, an optional sign, decimal digits; whatever follows the digits is ignored.
struct CHandleArgument {
    enum EKind {
        eNoNumber,    // the argument does not begin with a number: skip it without a word
        eValue,       // m_nValue holds the number
        eOutOfRange,  // the number does not fit a signed 32-bit value; m_text holds it
    };
    EKind m_eKind = eNoNumber;
    int m_nValue = 0;
    std::string m_text;
};

// Scans one argument. A value outside the signed 32-bit range is reported, never wrapped.
CHandleArgument ScanHandleArgument(std::string_view argument);
CHandleArgument ScanHandleArgument(const char* argument);

}  // namespace Platform
