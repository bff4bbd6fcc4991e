#include "CVelmoraApp.h"

#include "CVelmoraDlg.h"

CVelmoraApp theApp;

CVelmoraApp::CVelmoraApp() = default;

bool CVelmoraApp::InitInstance() {
    CWinApp::InitInstance();

    CVelmoraDlg dlg(m_modulePath, std::move(m_received));
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;

    // The dialog has closed: end the program rather than start an event loop of its own.
    return false;
}
