#pragma once

#include <cstdint>

#include "CString.h"

class QWidget;

namespace Platform {

class CDialog;

// One run of a dialog's data exchange (CDialog::UpdateData): towards the controls when the
// dialog opens, towards the members when OK is pressed. A refused text fails the run, and
// the exchange functions do nothing more in it.
class CDataExchange {
public:
    CDataExchange(CDialog* pDlgWnd, bool bSaveAndValidate);

    // Fails the run: the dialog stays open, a short prompt says what is expected, and the
    // control gets the focus back with its text selected.
    void Fail(QWidget* pControl, const CString& prompt);

    bool Failed() const;

    // The dialog whose controls are exchanged.
    CDialog* const m_pDlgWnd;
    // True towards the members (OK pressed), false towards the controls (dialog opening).
    const bool m_bSaveAndValidate;

private:
    bool m_bFailed = false;
};

// Exchanges an unsigned 32-bit number with the edit control nIDC as decimal text. Towards the
// member, a text that is not a decimal number from 0 to 4294967295 (empty, a sign, a space,
// too large) fails the exchange and leaves value unchanged.
void DDX_Text(CDataExchange* pDX, int nIDC, std::uint32_t& value);

}  // namespace Platform
