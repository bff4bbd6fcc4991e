#include "CMenu.h"

#include <QMenu>

namespace Platform {

CMenu::CMenu(QWidget* pOwner) : m_pMenu(std::make_unique<QMenu>(pOwner)) {
    m_pMenu->setObjectName(QStringLiteral("systemMenu"));
    m_pMenu->setFont(pOwner->font());
}

CMenu::~CMenu() = default;

bool CMenu::AppendMenu(unsigned nFlags, unsigned nIDNewItem, const CString& text) {
    if (nFlags == MF_SEPARATOR) {
        m_pMenu->addSeparator();
        return true;
    }
    if (nFlags != MF_STRING) return false;
    m_pMenu->addAction(text)->setData(nIDNewItem);
    return true;
}

bool CMenu::IsEmpty() const {
    for (const QAction* action : m_pMenu->actions())
        if (!action->isSeparator()) return false;
    return true;
}

QMenu* CMenu::GetMenu() const { return m_pMenu.get(); }

}  // namespace Platform
