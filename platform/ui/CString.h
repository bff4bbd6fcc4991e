#pragma once

#include <QString>

// The program's wide (UTF-16) text type: log lines, arguments, batches.
using CString = QString;
