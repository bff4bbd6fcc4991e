#include <QApplication>

#include <iostream>

#include "CVelmoraApp.h"
#include "CWinApp.h"
#include "Descriptors.h"
#include "HandOffStartup.h"
#include "OperatorOptions.h"
#include "ProcessLauncher.h"

int main(int argc, char* argv[]) {
    // Answered before any Qt object exists: no display is needed to ask.
    switch (AnswerOperatorOption(argc, argv, std::cout, std::cerr)) {
        case EOperatorAnswer::eAnswered:
            return std::cout.flush() ? 0 : 1;
        case EOperatorAnswer::eUnknownOption:
            return 2;
        case EOperatorAnswer::eRun:
            break;
    }

    // Before any thread or Qt descriptor exists: a handed-over client socket must never be
    // inherited by anything started later, and the state variable must not reach the
    // processes we start.
    theApp.m_received = Platform::TakeHandOffStartup(argc, argv);
    // Until the server listens for it, an upgrade signal must not end the process.
    Platform::IgnoreUpgradeSignal();
    std::string reason;
    // Read once: a new process is started from this path, so a new build installed there takes over.
    theApp.m_modulePath = Platform::ReadExecutablePath(reason);
    // Many connections without the operator touching ulimit.
    Platform::RaiseDescriptorLimit(reason);

    // Recorded before Qt's application object takes its own options out of argv.
    Platform::CWinApp::SetCommandLine(argc, argv);
    // On X11 a window's image then goes through the display connection instead of a
    // shared-memory segment, which costs a descriptor of its own: with the descriptor table
    // full, opening the quit question (or any dialog) would hang the UI thread for good.
    if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM")) qputenv("QT_XCB_NO_MITSHM", "1");
    QApplication application(argc, argv);
    theApp.InitInstance();
    return 0;
}
