#include "CLogBar.h"

#include <QAbstractScrollArea>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <algorithm>

namespace Platform {

CLogBar::CLogBar(QAbstractScrollArea* pView, const QString& name, const QString& barName,
                 const QString& editName, const QString& labelName)
    : QWidget(pView), m_pView(pView), m_pEdit(new QLineEdit(this)), m_pLabel(new QLabel(this)) {
    setObjectName(barName);
    setAutoFillBackground(true);
    auto* pLayout = new QHBoxLayout(this);
    pLayout->setContentsMargins(2, 2, 2, 2);
    m_pEdit->setObjectName(editName);
    m_pEdit->setPlaceholderText(name);
    m_pEdit->setAccessibleName(name);
    m_pLabel->setObjectName(labelName);
    pLayout->addWidget(m_pEdit);
    pLayout->addWidget(m_pLabel);
    hide();
}

void CLogBar::Place(int nRight) {
    const QSize size = sizeHint();
    const QRect area = m_pView->viewport()->geometry();
    const int nWidth = std::max(0, std::min(size.width() + 80, nRight - area.left() + 1));
    setGeometry(nRight - nWidth + 1, area.top(), nWidth, size.height());
}

void CLogBar::Open() {
    show();
    raise();
    m_pEdit->setFocus();
    m_pEdit->selectAll();
}

bool CLogBar::Close() {
    if (!isVisible()) return false;
    hide();
    m_pView->setFocus();
    return true;
}

QRect CLogBar::Area() const { return isVisible() ? geometry() : QRect(); }

}  // namespace Platform
