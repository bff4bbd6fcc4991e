#pragma once

#include <memory>

#include "CString.h"

class QMenu;
class QWidget;

namespace Platform {

// Flags of CMenu::AppendMenu.
constexpr unsigned MF_STRING = 0x0000;
constexpr unsigned MF_SEPARATOR = 0x0800;

// A dialog's window menu. A Linux window manager has no per-window system menu that a program
// can extend, so the dialog shows this one as its own context menu and at the end of the
// context menu of each multi-line edit; choosing an item sends its command id to the
// dialog's OnSysCommand.
class CMenu {
public:
    // pOwner supplies the menu's font and style; the menu is owned here.
    explicit CMenu(QWidget* pOwner);
    ~CMenu();
    CMenu(const CMenu&) = delete;
    CMenu& operator=(const CMenu&) = delete;

    // Appends a separator (MF_SEPARATOR) or an item (MF_STRING) with this command id and text;
    // '&' marks the mnemonic. Returns false for other flags.
    bool AppendMenu(unsigned nFlags, unsigned nIDNewItem = 0, const CString& text = CString());

    // True when the menu has no item other than separators.
    bool IsEmpty() const;

    // The Qt menu; its triggered signal carries the command id as the action's data.
    QMenu* GetMenu() const;

private:
    std::unique_ptr<QMenu> m_pMenu;
};

}  // namespace Platform
