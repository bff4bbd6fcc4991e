#pragma once

#include <string>

#include "CWinApp.h"
#include "HandOffStartup.h"

// The application: runs the main dialog modally, and the program ends when it returns.
class CVelmoraApp : public Platform::CWinApp {
public:
    CVelmoraApp();

    bool InitInstance() override;
    // Starts every thread of Qt's global pool now and keeps it for good: a pool thread
    // started later needs descriptors for its event loop, and with the table full GLib
    // aborts the process for want of one.
    static void StartPoolThreads();

    // Set by main before InitInstance: the program's own path and what a handing-over
    // process passed to this one.
    std::string m_modulePath;
    Platform::CHandOffStartup m_received;
};

// The one application object.
extern CVelmoraApp theApp;
