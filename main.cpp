#include <QApplication>

#include "CVelmoraApp.h"
#include "CWinApp.h"

int main(int argc, char* argv[]) {
    // Recorded before Qt's application object takes its own options out of argv.
    Platform::CWinApp::SetCommandLine(argc, argv);
    QApplication application(argc, argv);
    theApp.InitInstance();
    return 0;
}
