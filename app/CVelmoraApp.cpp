#include "CVelmoraApp.h"

#include <QSemaphore>
#include <QThreadPool>
#include <memory>

#include "CVelmoraDlg.h"

CVelmoraApp theApp;

CVelmoraApp::CVelmoraApp() = default;

bool CVelmoraApp::InitInstance() {
    CWinApp::InitInstance();
    StartPoolThreads();

    CVelmoraDlg dlg(m_modulePath, std::move(m_received));
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;

    // The dialog has closed: end the program rather than start an event loop of its own.
    return false;
}

void CVelmoraApp::StartPoolThreads() {
    QThreadPool* const pPool = QThreadPool::globalInstance();
    pPool->setExpiryTimeout(-1);
    // Each task holds its thread until all have started, so every thread is a new one. Not
    // waitForDone: that ends the threads.
    const int nThreads = pPool->maxThreadCount();
    const auto spStarted = std::make_shared<QSemaphore>();
    const auto spRelease = std::make_shared<QSemaphore>();
    for (int i = 0; i < nThreads; ++i) {
        pPool->start([spStarted, spRelease] {
            spStarted->release();
            spRelease->acquire();
        });
    }
    spStarted->acquire(nThreads);
    spRelease->release(nThreads);
}
