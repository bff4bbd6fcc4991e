#pragma once

#include "CDialog.h"

// The about box: the icon, "Velmora, Version 1.0" and OK. Opened from the main dialog's
// window menu; its result is not used.
class CAboutDlg : public Platform::CDialog {
    Q_OBJECT

public:
    CAboutDlg();
    ~CAboutDlg() override;
};
