#pragma once

class QMenu;

namespace Platform {

// A control that makes its own context menu. CDialog pops it up for the control, followed by
// the window menu's items, without knowing the control's class.
class CContextMenuSource {
public:
    // A new menu of the control's own items; the caller owns it.
    virtual QMenu* CreateContextMenu() = 0;

protected:
    ~CContextMenuSource() = default;
};

}  // namespace Platform
