#include "CEdit.h"

#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTextDocument>

namespace Platform {

CEdit::CEdit(QWidget* pWnd) : m_pEdit(qobject_cast<QPlainTextEdit*>(pWnd)) {}

void CEdit::SetSel(int nStartChar, int nEndChar) {
    if (m_pEdit == nullptr) return;
    QTextCursor cursor = m_pEdit->textCursor();
    if (nStartChar < 0) {
        cursor.clearSelection();
    } else {
        // characterCount includes the document's closing paragraph separator.
        const int length = m_pEdit->document()->characterCount() - 1;
        const auto clamp = [length](int position) {
            return position < 0 || position > length ? length : position;
        };
        cursor.setPosition(clamp(nStartChar));
        cursor.setPosition(clamp(nEndChar), QTextCursor::KeepAnchor);
    }
    m_pEdit->setTextCursor(cursor);
}

void CEdit::ScrollCaret() {
    if (m_pEdit != nullptr) m_pEdit->ensureCursorVisible();
}

void CEdit::ReplaceSel(const CString& text, bool bCanUndo) {
    if (m_pEdit == nullptr) return;
    QTextDocument* pDocument = m_pEdit->document();
    const bool bClearUndo = !bCanUndo && pDocument->isUndoRedoEnabled();
    if (bClearUndo) pDocument->setUndoRedoEnabled(false);
    QTextCursor cursor = m_pEdit->textCursor();
    cursor.insertText(text);
    if (bClearUndo) pDocument->setUndoRedoEnabled(true);
    m_pEdit->setTextCursor(cursor);
    m_pEdit->ensureCursorVisible();
}

}  // namespace Platform
