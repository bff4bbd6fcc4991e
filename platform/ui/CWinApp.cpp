#include "CWinApp.h"

namespace Platform {

namespace {

// Written once in main before any other thread exists; read-only afterwards.
std::vector<CString>& CommandLine() {
    static std::vector<CString> arguments;
    return arguments;
}

}  // namespace

CWinApp::CWinApp() = default;

CWinApp::~CWinApp() = default;

bool CWinApp::InitInstance() { return true; }

void CWinApp::SetCommandLine(int argc, char* argv[]) {
    std::vector<CString> arguments;
    for (int i = 0; i < argc && argv[i] != nullptr; ++i)
        arguments.push_back(QString::fromLocal8Bit(argv[i]));
    CommandLine() = std::move(arguments);
}

std::vector<CString> GetCommandLine() { return CommandLine(); }

}  // namespace Platform
