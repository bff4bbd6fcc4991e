#pragma once

#include "CWinApp.h"

// The application: runs the main dialog modally, and the program ends when it returns.
class CVelmoraApp : public Platform::CWinApp {
public:
    CVelmoraApp();

    bool InitInstance() override;
};

// The one application object.
extern CVelmoraApp theApp;
