#pragma once

#include <cstdint>

#include "CDialog.h"

// The port dialog: asks for the TCP port to listen on. The caller presets m_port, runs
// DoModal and, after IDOK, reads the number entered (0 to 4294967295, unchecked here).
class CDlgServer : public Platform::CDialog {
    Q_OBJECT

public:
    CDlgServer();
    ~CDlgServer() override;

    // The port shown when the dialog opens and, after IDOK, the one entered.
    std::uint32_t m_port = 0;

protected:
    void DoDataExchange(Platform::CDataExchange* pDX) override;
};
