#include "CDialog.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QContextMenuEvent>
#include <QFont>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QStyle>
#include <algorithm>
#include <utility>

#include "CContextMenuSource.h"
#include "CDataExchange.h"
#include "CMenu.h"
#include "CResourceTable.h"

namespace Platform {

namespace {

const char* const kControlId = "controlId";
const char* const kDigitsOnly = "digitsOnly";
const char* const kWantReturn = "wantReturn";
const char* const kIconResource = "iconResource";
const char* const kResizableFrame = "resizableFrame";
const char* const kMinMaxButtons = "minMaxButtons";
const char* const kAppWindow = "appWindow";
const char* const kAnchor = "anchor";

CDialog::ModalScript& Script() {
    static CDialog::ModalScript script;
    return script;
}

// a * b / c rounded half away from zero, for non-negative b and c.
int MulDiv(int a, int b, int c) {
    const long long product = static_cast<long long>(a) * b;
    return static_cast<int>(product >= 0 ? (product + c / 2) / c : (product - c / 2) / c);
}

// The edges an anchor property names; left and top stand in for a direction without any.
Qt::Edges AnchorEdges(const QString& anchor) {
    Qt::Edges edges;
    for (const QString& name : anchor.split(QLatin1Char('|'), Qt::SkipEmptyParts)) {
        const QString edge = name.trimmed();
        if (edge == QLatin1String("left")) edges |= Qt::LeftEdge;
        if (edge == QLatin1String("top")) edges |= Qt::TopEdge;
        if (edge == QLatin1String("right")) edges |= Qt::RightEdge;
        if (edge == QLatin1String("bottom")) edges |= Qt::BottomEdge;
    }
    if (!(edges & (Qt::LeftEdge | Qt::RightEdge))) edges |= Qt::LeftEdge;
    if (!(edges & (Qt::TopEdge | Qt::BottomEdge))) edges |= Qt::TopEdge;
    return edges;
}

// One direction of an anchored control: its start and length once the dialog grew by nGrowth.
std::pair<int, int> Anchored(int nStart, int nLength, int nGrowth, bool bNear, bool bFar) {
    if (bNear && bFar) return {nStart, std::max(0, nLength + nGrowth)};
    return {bFar ? nStart + nGrowth : nStart, nLength};
}

QPixmap IconPixmap(const QIcon& icon, const QWidget* pWidget) {
    const int size = pWidget->style()->pixelMetric(QStyle::PM_LargeIconSize, nullptr, pWidget);
    return icon.pixmap(QSize(size, size), pWidget->devicePixelRatioF());
}

}  // namespace

void CDialog::SetModalScript(ModalScript script) { Script() = std::move(script); }

CDialog::~CDialog() = default;

void CDialog::MapTemplateFonts() {
    // The Windows dialog fonts are absent here; the substitute also has the Japanese glyphs.
    static const bool mapped = [] {
        for (const char* family : {"MS UI Gothic", "MS Shell Dlg", "MS Shell Dlg 2"})
            QFont::insertSubstitution(QString::fromLatin1(family),
                                      QStringLiteral("Noto Sans CJK JP"));
        return true;
    }();
    (void)mapped;
}

QRect CDialog::MapDialogRect(const QRect& rect) const {
    // Dialog base units as Windows measures them: the average width of the 52 Latin letters
    // and the character height of the dialog font.
    const QFontMetrics metrics(font());
    const int width = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    const int baseX = (width / 26 + 1) / 2;
    const int baseY = metrics.height();
    const int left = MulDiv(rect.x(), baseX, 4);
    const int top = MulDiv(rect.y(), baseY, 8);
    const int right = MulDiv(rect.x() + rect.width(), baseX, 4);
    const int bottom = MulDiv(rect.y() + rect.height(), baseY, 8);
    return QRect(left, top, right - left, bottom - top);
}

void CDialog::ApplyTemplate() {
    const QSize size = MapDialogRect(QRect(QPoint(0, 0), this->size())).size();
    for (QWidget* pControl : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (pControl->isWindow()) continue;
        pControl->setGeometry(MapDialogRect(pControl->geometry()));
        ApplyControlStyles(pControl);
        const QVariant anchor = pControl->property(kAnchor);
        if (anchor.isValid())
            m_anchored.push_back(
                CAnchored{pControl, pControl->geometry(), AnchorEdges(anchor.toString())});
    }
    m_templateSize = size;

    Qt::WindowFlags flags = Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    flags |= property(kAppWindow).toBool() ? Qt::Window : Qt::Dialog;
    if (property(kMinMaxButtons).toBool()) flags |= Qt::WindowMinMaxButtonsHint;
    setWindowFlags(flags);
    if (property(kResizableFrame).toBool()) {
        setMinimumSize(size);
        resize(size);
    } else
        setFixedSize(size);

    const QVariant icon = property(kIconResource);
    if (icon.isValid()) setWindowIcon(CResourceTable::LoadIcon(icon.toUInt()));

    ResetSystemMenu();
    auto* pMenuShortcut = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    connect(pMenuShortcut, &QShortcut::activated, this,
            [this] { ShowSystemMenu(mapToGlobal(QPoint(0, 0))); });
}

void CDialog::ApplyControlStyles(QWidget* pControl) {
    const QVariant id = pControl->property(kControlId);
    const int nID = id.isValid() ? id.toInt() : 0;
    if (id.isValid()) m_controls.insert(nID, pControl);

    if (auto* pButton = qobject_cast<QAbstractButton*>(pControl)) {
        if (nID == IDOK) connect(pButton, &QAbstractButton::clicked, this, &CDialog::accept);
        if (nID == IDCANCEL) connect(pButton, &QAbstractButton::clicked, this, &CDialog::reject);
    }
    // Keystrokes are filtered, not the text: a validator would drop a pasted " 10000"
    // without a word, and OK would then take a number the operator never meant. A paste
    // goes in whole and OK's data exchange refuses it with its prompt.
    if (auto* pLineEdit = qobject_cast<QLineEdit*>(pControl)) {
        if (pLineEdit->property(kDigitsOnly).toBool()) pLineEdit->installEventFilter(this);
    }
    if (auto* pEdit = qobject_cast<QPlainTextEdit*>(pControl)) {
        if (!pEdit->property(kWantReturn).toBool()) pEdit->installEventFilter(this);
        pEdit->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(pEdit, &QWidget::customContextMenuRequested, this,
                [this, pEdit](const QPoint& pos) {
                    PopUpControlMenu(pEdit->createStandardContextMenu(), pEdit, pos);
                });
    }
    if (auto* pSource = dynamic_cast<CContextMenuSource*>(pControl)) {
        pControl->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(pControl, &QWidget::customContextMenuRequested, this,
                [this, pControl, pSource](const QPoint& pos) {
                    PopUpControlMenu(pSource->CreateContextMenu(), pControl, pos);
                });
    }
    if (auto* pLabel = qobject_cast<QLabel*>(pControl)) {
        const QVariant icon = pLabel->property(kIconResource);
        if (icon.isValid())
            pLabel->setPixmap(IconPixmap(CResourceTable::LoadIcon(icon.toUInt()), this));
    }
}

int CDialog::DoModal() {
    ResetSystemMenu();
    setResult(0);
    OnInitDialog();
    FocusFirstControl();

    int nResult;
    if (Script()) {
        show();
        Script()(*this);
        if (isVisible()) EndDialog(IDCANCEL);
        nResult = result();
    } else {
        nResult = exec();
    }
    OnDestroy();
    return nResult == IDOK ? IDOK : IDCANCEL;
}

void CDialog::EndDialog(int nResult) { done(nResult); }

QWidget* CDialog::GetDlgItem(int nID) const { return m_controls.value(nID, nullptr); }

bool CDialog::UpdateData(bool bSaveAndValidate) {
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return !dx.Failed();
}

CMenu* CDialog::GetSystemMenu() const { return m_pSystemMenu.get(); }

void CDialog::SetIcon(const QIcon& icon, bool /*bBigIcon*/) { setWindowIcon(icon); }

void CDialog::accept() { OnOK(); }

void CDialog::reject() { OnCancel(); }

bool CDialog::OnInitDialog() {
    UpdateData(false);
    return true;
}

void CDialog::DoDataExchange(CDataExchange* /*pDX*/) {}

void CDialog::OnOK() {
    if (!UpdateData(true)) return;
    EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

void CDialog::OnSysCommand(unsigned /*nID*/) {}

void CDialog::OnDestroy() {}

void CDialog::contextMenuEvent(QContextMenuEvent* event) {
    if (m_pSystemMenu->IsEmpty()) {
        event->ignore();
        return;
    }
    ShowSystemMenu(event->globalPos());
}

void CDialog::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    ApplyAnchors();
}

void CDialog::ApplyAnchors() {
    const int nWider = width() - m_templateSize.width();
    const int nTaller = height() - m_templateSize.height();
    for (const CAnchored& anchored : m_anchored) {
        const QRect& at = anchored.geometry;
        const auto [x, nWidth] = Anchored(at.x(), at.width(), nWider, anchored.edges & Qt::LeftEdge,
                                          anchored.edges & Qt::RightEdge);
        const auto [y, nHeight] =
            Anchored(at.y(), at.height(), nTaller, anchored.edges & Qt::TopEdge,
                     anchored.edges & Qt::BottomEdge);
        anchored.pControl->setGeometry(x, y, nWidth, nHeight);
    }
}

bool CDialog::eventFilter(QObject* watched, QEvent* event) {
    // A digits-only edit swallows a typed character that is not an ASCII digit; editing
    // keys and shortcuts (Ctrl+V among them) pass.
    if (event->type() == QEvent::KeyPress && qobject_cast<QLineEdit*>(watched)) {
        const auto* pKey = static_cast<QKeyEvent*>(event);
        const bool bShortcut = pKey->modifiers() & (Qt::ControlModifier | Qt::MetaModifier);
        for (const QChar c : pKey->text()) {
            if (!bShortcut && c.isPrint() && (c < QLatin1Char('0') || c > QLatin1Char('9')))
                return true;
        }
    }
    // A multi-line edit without wantReturn leaves Enter to the dialog, as Windows does.
    if (event->type() == QEvent::KeyPress && qobject_cast<QPlainTextEdit*>(watched)) {
        const auto* pKey = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers modifiers = pKey->modifiers() & ~Qt::KeypadModifier;
        if ((pKey->key() == Qt::Key_Return || pKey->key() == Qt::Key_Enter) &&
            modifiers == Qt::NoModifier) {
            PressDefaultButton();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CDialog::ResetSystemMenu() {
    m_pSystemMenu = std::make_unique<CMenu>(this);
    connect(m_pSystemMenu->GetMenu(), &QMenu::triggered, this,
            [this](QAction* pAction) { OnSysCommand(pAction->data().toUInt()); });
}

void CDialog::ShowSystemMenu(const QPoint& globalPos) {
    if (!m_pSystemMenu->IsEmpty()) m_pSystemMenu->GetMenu()->popup(globalPos);
}

void CDialog::PopUpControlMenu(QMenu* pMenu, QWidget* pControl, const QPoint& pos) {
    pMenu->setObjectName(QStringLiteral("editMenu"));
    pMenu->setAttribute(Qt::WA_DeleteOnClose);
    // The window menu's own items: their triggered signal reaches OnSysCommand through it.
    if (!m_pSystemMenu->IsEmpty()) pMenu->addActions(m_pSystemMenu->GetMenu()->actions());
    // A scroll area reports the position in its viewport.
    auto* pArea = qobject_cast<QAbstractScrollArea*>(pControl);
    pMenu->popup((pArea != nullptr ? pArea->viewport() : pControl)->mapToGlobal(pos));
}

void CDialog::PressDefaultButton() {
    for (QPushButton* pButton : findChildren<QPushButton*>()) {
        if (pButton->isDefault() && pButton->isVisible() && pButton->isEnabled()) {
            pButton->click();
            return;
        }
    }
    accept();
}

void CDialog::FocusFirstControl() {
    for (QWidget* pWidget = nextInFocusChain(); pWidget != this;
         pWidget = pWidget->nextInFocusChain()) {
        if (pWidget->window() != this || !(pWidget->focusPolicy() & Qt::TabFocus) ||
            !pWidget->isEnabled() || pWidget->isHidden())
            continue;
        pWidget->setFocus(Qt::TabFocusReason);
        // As a dialog does on Windows, the first edit's text is selected for overtyping.
        if (auto* pLineEdit = qobject_cast<QLineEdit*>(pWidget)) pLineEdit->selectAll();
        return;
    }
}

}  // namespace Platform
