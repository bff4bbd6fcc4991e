#pragma once

#include <vector>

#include "CString.h"

class QWidget;

namespace Platform {

// The application object: one global instance, constructed during static initialisation.
// main records the command line, creates Qt's application object and calls InitInstance on
// the main thread, which thereby becomes the UI thread; the process ends when it returns.
class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // Start-up: runs the program's windows. Returning false ends the program without an
    // event loop of its own.
    virtual bool InitInstance();

    // Records main's arguments as the process's command line. Call first in main, before
    // Qt's application object takes the options meant for it out of argv.
    static void SetCommandLine(int argc, char* argv[]);

    // The window that stands for the program while InitInstance runs it; not owned.
    QWidget* m_pMainWnd = nullptr;
};

// The process's arguments as recorded by CWinApp::SetCommandLine, program path first.
// Empty before it was called.
std::vector<CString> GetCommandLine();

}  // namespace Platform
