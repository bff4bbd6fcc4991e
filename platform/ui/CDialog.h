#pragma once

#include <QDialog>
#include <QHash>
#include <functional>
#include <memory>
#include <vector>

#include "CMenu.h"
#include "CString.h"

namespace Platform {

class CDataExchange;

// Results of DoModal.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// A modal dialog built from a Qt Designer form that plays the part of a dialog template.
//
// The form gives captions, texts and geometry in dialog units: x in quarters of the dialog
// font's average character width, y in eighths of its character height; the constructor
// converts them to pixels once, and controls keep those positions when the window is resized
// (no layout managers). Dynamic properties in the form carry what a template's styles say:
//   controlId (int)          the control's id, for GetDlgItem; buttons 1 and 2 are OK and Cancel
//   digitsOnly (bool)        a QLineEdit that accepts digit keystrokes only; pasted text goes
//                            in unfiltered, for the data exchange to refuse with its prompt
//   wantReturn (bool)        a QPlainTextEdit that takes Enter itself; otherwise Enter in it
//                            presses the default button
//   iconResource (int)       on a QLabel: shows that icon; on the dialog: its window icon
//   resizableFrame, minMaxButtons, appWindow (bool, on the dialog): resizable frame,
//                            minimise and maximise buttons, a window of its own in the task
//                            bar; otherwise a fixed-size dialog frame. A resizable dialog
//                            starts at the template's size, which is also its minimum
//   anchor (string)          the dialog edges a control keeps its distance to when the dialog
//                            is resized, of left, top, right and bottom joined by "|": with
//                            both edges of a direction the control stretches, with one it
//                            moves along; left and top where neither edge of a direction is
//                            named, so a control without the property stays where it is
// The template fonts "MS UI Gothic" and "MS Shell Dlg" map to an installed gothic font that
// renders Japanese. A plain-text edit or a CContextMenuSource control gets its own context menu
// followed by the window menu's items.
// UI thread only.
class CDialog : public QDialog {
    Q_OBJECT

public:
    // Test seam, a scripted operator. While one is set, DoModal shows the dialog and calls it
    // instead of running the nested event loop; the script acts on the dialog (types, clicks)
    // and DoModal then returns the dialog's result, IDCANCEL when the script left it open.
    // Nested dialogs call the same script.
    using ModalScript = std::function<void(CDialog&)>;
    static void SetModalScript(ModalScript script);

    // Builds the dialog from a uic form (any class with setupUi(QDialog*)), owned here.
    template <class Form>
    explicit CDialog(std::unique_ptr<Form> pTemplate) : QDialog(nullptr) {
        MapTemplateFonts();
        pTemplate->setupUi(this);
        m_pTemplate = std::move(pTemplate);
        ApplyTemplate();
    }
    ~CDialog() override;

    // Runs the dialog: OnInitDialog, then a nested event loop that goes on dispatching the UI
    // thread's events (wake-ups posted from other threads included), then OnDestroy. Returns
    // IDOK when the dialog ended with IDOK, IDCANCEL otherwise.
    int DoModal();

    // Ends the modal loop with this result.
    void EndDialog(int nResult);

    // The control with this id, or nullptr.
    QWidget* GetDlgItem(int nID) const;
    template <class T>
    T* GetDlgItem(int nID) const {
        return qobject_cast<T*>(GetDlgItem(nID));
    }

    // Runs the data exchange: towards the controls (false) or towards the members (true).
    // False when a control's text was refused; the dialog then prompts and stays open.
    bool UpdateData(bool bSaveAndValidate = true);

    // The window menu, shown as the dialog's context menu; see CMenu.
    CMenu* GetSystemMenu() const;

    // Sets the window icon; Qt keeps one icon for both sizes.
    void SetIcon(const QIcon& icon, bool bBigIcon);

    // Converts a rectangle in dialog units to pixels with the dialog font's metrics.
    QRect MapDialogRect(const QRect& rect) const;

    // OK and Cancel end the dialog through OnOK and OnCancel (Escape and the close box too).
    void accept() override;
    void reject() override;

protected:
    // Before the dialog is shown: fills the controls (UpdateData(false)). The result is
    // ignored; the first control in tab order gets the focus.
    virtual bool OnInitDialog();

    // Exchanges member values with controls; see CDataExchange. Empty here.
    virtual void DoDataExchange(CDataExchange* pDX);

    // OK: validates and stores the controls, then ends with IDOK; stays open on refusal.
    virtual void OnOK();

    // Cancel: ends with IDCANCEL.
    virtual void OnCancel();

    // An item of the window menu was chosen. Nothing here.
    virtual void OnSysCommand(unsigned nID);

    // The modal loop has ended; runs before DoModal returns. Nothing here.
    virtual void OnDestroy();

    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    static void MapTemplateFonts();
    void ApplyTemplate();
    void ApplyControlStyles(QWidget* pControl);
    // Moves and stretches the anchored controls by what the dialog outgrew its template.
    void ApplyAnchors();
    void ResetSystemMenu();
    void ShowSystemMenu(const QPoint& globalPos);
    // Pops up a control's own menu (taken over) with the window menu's items after it.
    void PopUpControlMenu(QMenu* pMenu, QWidget* pControl, const QPoint& pos);
    void PressDefaultButton();
    void FocusFirstControl();

    std::shared_ptr<void> m_pTemplate;
    QHash<int, QWidget*> m_controls;
    // A control that follows some edge of the dialog, with its place in the template.
    struct CAnchored {
        QWidget* pControl;
        QRect geometry;
        Qt::Edges edges;
    };
    std::vector<CAnchored> m_anchored;
    QSize m_templateSize;
    std::unique_ptr<CMenu> m_pSystemMenu;
};

}  // namespace Platform
