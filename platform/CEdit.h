#pragma once

#include "CString.h"

class QPlainTextEdit;
class QWidget;

namespace Platform {

// A multi-line edit control seen through the operations the program sends it: select,
// scroll the caret into view, replace the selection. Wraps a QPlainTextEdit, does not own
// it; for any other widget the operations do nothing.
class CEdit {
public:
    explicit CEdit(QWidget* pWnd);

    // Selects from nStartChar to nEndChar, the caret at nEndChar. A position that is negative
    // or past the end means the end; nStartChar -1 only removes the selection.
    void SetSel(int nStartChar, int nEndChar);

    // Scrolls the caret into view.
    void ScrollCaret();

    // Replaces the selection with text (CR LF, LF or CR starts a new line) and leaves the caret
    // after it, scrolled into view. When bCanUndo is false the edit's undo history is cleared.
    void ReplaceSel(const CString& text, bool bCanUndo = false);

private:
    QPlainTextEdit* m_pEdit;
};

}  // namespace Platform
