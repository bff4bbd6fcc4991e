#pragma once

#include <QIcon>

#include "CString.h"

namespace Platform {

// The program's compiled-in resources, looked up by the numbers that the dialogs and the
// window menu name: strings (101: the About item) and icons (128: the application icon,
// the Qt resource ":/velmora.png"). It stands in for the executable's resource script.
// UI thread only.
class CResourceTable {
public:
    // The string with this number; empty when there is none.
    static CString LoadString(unsigned nID);

    // Replaces a string (an empty text empties it), so that tests can run the program
    // without one.
    static void SetString(unsigned nID, const CString& text);

    // The icon with this number; a null icon when there is none or its image is missing.
    static QIcon LoadIcon(unsigned nID);
};

}  // namespace Platform
