#include "CDataExchange.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QMessageBox>

#include "CDialog.h"

namespace Platform {

namespace {

bool ParseUInt32(const QString& text, std::uint32_t& value) {
    if (text.isEmpty()) return false;
    std::uint64_t number = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
        number = number * 10 + (c.unicode() - u'0');
        if (number > UINT32_MAX) return false;
    }
    value = static_cast<std::uint32_t>(number);
    return true;
}

}  // namespace

CDataExchange::CDataExchange(CDialog* pDlgWnd, bool bSaveAndValidate)
    : m_pDlgWnd(pDlgWnd), m_bSaveAndValidate(bSaveAndValidate) {}

void CDataExchange::Fail(QWidget* pControl, const CString& prompt) {
    m_bFailed = true;
    // Window-modal, not a nested loop: the dialog stays responsive to its own modal loop and
    // to a test script, and the prompt closes with it.
    auto* pBox = new QMessageBox(QMessageBox::Warning, QCoreApplication::applicationName(), prompt,
                                 QMessageBox::Ok, m_pDlgWnd);
    pBox->setObjectName(QStringLiteral("promptBox"));
    pBox->setFont(m_pDlgWnd->font());
    pBox->setAttribute(Qt::WA_DeleteOnClose);
    pBox->open();
    pControl->setFocus(Qt::OtherFocusReason);
    if (auto* pLineEdit = qobject_cast<QLineEdit*>(pControl)) pLineEdit->selectAll();
}

bool CDataExchange::Failed() const { return m_bFailed; }

void DDX_Text(CDataExchange* pDX, int nIDC, std::uint32_t& value) {
    if (pDX->Failed()) return;
    auto* pEdit = pDX->m_pDlgWnd->GetDlgItem<QLineEdit>(nIDC);
    if (pEdit == nullptr) return;
    if (!pDX->m_bSaveAndValidate) {
        pEdit->setText(QString::number(value));
        return;
    }
    if (!ParseUInt32(pEdit->text(), value))
        pDX->Fail(pEdit, QStringLiteral("0 から 4294967295 までの整数を入力してください。"));
}

}  // namespace Platform
