#pragma once

#include <QString>

// The UI's text type: captions, control texts, prompts and arguments as the dialogs handle
// them. Log lines travel as UTF-8 std::string; a line made as a CString is converted once on
// its way into the log view, which decodes only what it paints or reads out.
using CString = QString;
