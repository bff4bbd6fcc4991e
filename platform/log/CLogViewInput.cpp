// What the operator does with the log box: selecting, copying, keys, the mouse and the
// context menu. The rest of CLogView is in CLogView.cpp.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QScrollBar>
#include <QToolTip>
#include <QWheelEvent>
#include <algorithm>

#include "CLogFilter.h"
#include "CLogFind.h"
#include "CLogView.h"
#include "TimeText.h"
#include "Utf8.h"

namespace Platform {

// ---- selection ----------------------------------------------------------------------------

CLogView::CPosition CLogView::EndPosition() const {
    const std::uint64_t nLine = RowToLine(RowCount() - 1);
    return CPosition{nLine, LineLength(nLine)};
}

CLogView::CPosition CLogView::Clamp(CPosition position) const {
    if (position.nLine >= LineCount()) return EndPosition();
    if (position.nLine > 0 && position.nLine < FirstKeptLine()) {
        position.nLine = FirstKeptLine() < LineCount() ? FirstKeptLine() : 0;
        position.nColumn = 0;
    }
    if (!IsLineShown(position.nLine)) {
        // Onto the next shown line, or the end of the last.
        const std::uint64_t nShown = RowToLine(LineToRow(position.nLine));
        if (nShown < position.nLine) return EndPosition();
        position = CPosition{nShown, 0};
    }
    position.nColumn = std::min(position.nColumn, LineLength(position.nLine));
    // Back onto the first byte of a character.
    const std::uint64_t nFrom = position.nColumn >= 3 ? position.nColumn - 3 : 0;
    const std::string around = LineText(position.nLine, nFrom, position.nColumn - nFrom + 1);
    position.nColumn = nFrom + Utf8::CharStartAtOrBefore(
                                   around, static_cast<std::size_t>(position.nColumn - nFrom));
    return position;
}

CLogView::CPosition CLogView::Step(const CPosition& position, int nDirection) const {
    const std::uint64_t nLength = LineLength(position.nLine);
    if (nDirection > 0) {
        if (position.nColumn < nLength) {
            const std::string ahead = LineText(position.nLine, position.nColumn, 4);
            return CPosition{position.nLine, position.nColumn + Utf8::CharStartAtOrAfter(ahead, 1)};
        }
        const std::uint64_t nRow = LineToRow(position.nLine);
        if (nRow + 1 < RowCount()) return Clamp(CPosition{RowToLine(nRow + 1), 0});
        return position;
    }
    if (position.nColumn > 0) return Clamp(CPosition{position.nLine, position.nColumn - 1});
    if (position.nLine == 0) return position;
    const std::uint64_t nPrevious = RowToLine(LineToRow(position.nLine) - 1);
    return CPosition{nPrevious, LineLength(nPrevious)};
}

void CLogView::SetSelection(const CPosition& anchor, const CPosition& caret) {
    m_anchor = Clamp(anchor);
    m_caret = Clamp(caret);
    if (HasSelection()) m_bFollow = false;
    viewport()->update();
}

void CLogView::SelectAll() {
    SetSelection(CPosition{0, 0}, EndPosition());
    OfferSelection();
}

void CLogView::SelectWord(const CPosition& at) {
    // Words are far shorter than this reach either way; a long line is not read whole.
    constexpr std::uint64_t kReach = 1024;
    const CPosition position = Clamp(at);
    const std::uint64_t nFrom = position.nColumn > kReach ? position.nColumn - kReach : 0;
    std::string bytes = LineText(position.nLine, nFrom, 2 * kReach);
    const std::size_t nSkip = Utf8::CharStartAtOrAfter(bytes, 0);
    bytes.erase(0, nSkip);
    bytes.resize(Utf8::CharStartAtOrBefore(bytes, bytes.size()));
    const QString text = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
    const auto isWord = [&text](qsizetype i) {
        return text.at(i).isLetterOrNumber() || text.at(i) == QLatin1Char('_');
    };
    auto nAt = static_cast<qsizetype>(
        Utf8::Utf16Units(bytes.data(), static_cast<std::size_t>(position.nColumn - nFrom - nSkip)));
    if (nAt >= text.size() && nAt > 0) nAt = text.size() - 1;
    if (text.isEmpty()) return;
    qsizetype nStart = nAt;
    qsizetype nEnd = nAt + 1;
    if (isWord(nAt)) {
        while (nStart > 0 && isWord(nStart - 1)) --nStart;
        while (nEnd < text.size() && isWord(nEnd)) ++nEnd;
    }
    const std::uint64_t nBase = nFrom + nSkip;
    SetSelection(CPosition{position.nLine, nBase + Utf8::BytesForUnits(bytes, nStart)},
                 CPosition{position.nLine, nBase + Utf8::BytesForUnits(bytes, nEnd)});
    OfferSelection();
}

void CLogView::SelectLine(std::uint64_t nLine) {
    SetSelection(CPosition{nLine, 0}, CPosition{nLine, LineLength(nLine)});
    OfferSelection();
}

void CLogView::MoveCaret(const CPosition& caret, bool bExtend) {
    m_caret = Clamp(caret);
    if (!bExtend) m_anchor = m_caret;
    if (HasSelection()) m_bFollow = false;
    EnsureVisible(m_caret.nLine);
    viewport()->update();
    if (bExtend) OfferSelection();
}

std::string CLogView::SelectedText(std::size_t nMaxBytes, bool* pbCut, bool bTimes) const {
    const CPosition start = std::min(m_anchor, m_caret);
    const CPosition end = std::max(m_anchor, m_caret);
    std::string text;
    bool bCut = false;
    // Row by row: the lines a filter hides between the ends are left out.
    const std::uint64_t nEndRow = std::min(LineToRow(end.nLine), RowCount() - 1);
    for (std::uint64_t nRow = LineToRow(start.nLine); nRow <= nEndRow; ++nRow) {
        const std::uint64_t nLine = RowToLine(nRow);
        if (nLine > end.nLine) break;
        const std::uint64_t nFrom = nLine == start.nLine ? start.nColumn : 0;
        const std::uint64_t nTo = nLine == end.nLine ? end.nColumn : LineLength(nLine);
        // A line the selection ends at the start of gives nothing, its time included.
        if (bTimes && nLine > 0 && nFrom == 0 && (nLine != end.nLine || nTo > 0)) {
            const std::string stamp = TimeText::Stamp(m_store.LineTime(nLine - 1));
            if (stamp.size() > nMaxBytes - text.size()) {
                bCut = true;
                break;
            }
            text += stamp;
        }
        const std::size_t nRoom = nMaxBytes - text.size();
        if (nTo > nFrom) {
            const std::uint64_t nWanted = nTo - nFrom;
            text += LineText(nLine, nFrom,
                             static_cast<std::size_t>(std::min<std::uint64_t>(nWanted, nRoom)));
            if (nWanted > nRoom) bCut = true;
        }
        if (bCut) break;
        if (nLine != end.nLine && nRow != nEndRow) {
            if (text.size() >= nMaxBytes) {
                bCut = true;
                break;
            }
            text += '\n';
        }
    }
    // Never end in the middle of a character.
    if (bCut) text.resize(Utf8::LengthBeforeLastMultiByteChar(text));
    if (pbCut != nullptr) *pbCut = bCut;
    return text;
}

QString CLogView::ClipboardText(bool* pbCut) const {
    const std::string text = SelectedText(kMaxCopyBytes, pbCut, m_bShowTimes);
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

void CLogView::OfferSelection() {
    QClipboard* pClipboard = QApplication::clipboard();
    if (!HasSelection() || !pClipboard->supportsSelection()) return;
    pClipboard->setText(ClipboardText(nullptr), QClipboard::Selection);
}

void CLogView::Copy() {
    if (!HasSelection()) return;
    bool bCut = false;
    QApplication::clipboard()->setText(ClipboardText(&bCut));
    if (bCut)
        Notify(tr("Only the first %1 MiB of the selection were copied; Save Log As... writes "
                  "the whole log.")
                   .arg(kMaxCopyBytes >> 20));
}

void CLogView::Notify(const QString& text) {
    QToolTip::showText(viewport()->mapToGlobal(QPoint(kMargin, 0)), text, this);
}

// ---- keyboard and mouse -------------------------------------------------------------------

void CLogView::keyPressEvent(QKeyEvent* event) {
    SyncScrollBars();
    const bool bShift = event->modifiers() & Qt::ShiftModifier;
    if (KeyZoom(event)) return;
    switch (event->key()) {
        case Qt::Key_Menu:
            ShowContextMenuFromKey();
            return;
        case Qt::Key_F10:
            if (!bShift) break;
            ShowContextMenuFromKey();
            return;
        case Qt::Key_Left:
        case Qt::Key_Right:
            KeyAcross(event->key() == Qt::Key_Right ? 1 : -1, bShift);
            return;
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
            KeyUpDown(event->key(), bShift);
            return;
        case Qt::Key_Home:
        case Qt::Key_End:
            KeyToEdge(event->key() == Qt::Key_End, bShift,
                      event->modifiers() & Qt::ControlModifier);
            return;
        case Qt::Key_Escape: {
            // The bar whose field has the focus; from the box itself, the find bar first.
            const bool bClosed = m_pFilter->HasFocus() ? m_pFilter->Hide()
                                 : m_pFind->HasFocus() ? m_pFind->Hide()
                                                       : m_pFind->Hide() || m_pFilter->Hide();
            if (!bClosed) break;
            PlaceBars();
            return;
        }
        case Qt::Key_Return:
        case Qt::Key_Enter:
            // From the find or filter field it has already acted; otherwise the dialog's
            // default button.
            if (m_pFind->HasFocus() || m_pFilter->HasFocus()) return;
            break;
        default:
            break;
    }
    event->ignore();
}

bool CLogView::KeyZoom(const QKeyEvent* event) {
    if (!(event->modifiers() & Qt::ControlModifier)) return false;
    switch (event->key()) {
        case Qt::Key_Plus:
        case Qt::Key_Equal:
            Zoom(1);
            return true;
        case Qt::Key_Minus:
            Zoom(-1);
            return true;
        case Qt::Key_0:
            ResetZoom();
            return true;
        default:
            return false;
    }
}

QPoint CLogView::KeyMenuPoint() const {
    const QRect caret = PositionRect(m_caret);
    return viewport()->rect().contains(caret.bottomLeft()) ? caret.bottomLeft()
                                                           : QPoint(kMargin, kMargin);
}

QVariant CLogView::inputMethodQuery(Qt::InputMethodQuery query) const {
    // Where the system puts a menu it opens from the keyboard by itself (the Menu key on X11).
    if (query == Qt::ImCursorRectangle)
        return QRect(viewport()->mapTo(this, KeyMenuPoint()), QSize(1, 1));
    return QAbstractScrollArea::inputMethodQuery(query);
}

void CLogView::ShowContextMenuFromKey() {
    const QPoint pos = KeyMenuPoint();
    // Where the mouse's menu goes: the dialog pops up the menu it asks for.
    QContextMenuEvent menuEvent(QContextMenuEvent::Keyboard, pos, viewport()->mapToGlobal(pos));
    QCoreApplication::sendEvent(viewport(), &menuEvent);
}

void CLogView::KeyAcross(int nDirection, bool bShift) {
    if (bShift)
        MoveCaret(Step(m_caret, nDirection), true);
    else
        horizontalScrollBar()->triggerAction(nDirection > 0 ? QAbstractSlider::SliderSingleStepAdd
                                                            : QAbstractSlider::SliderSingleStepSub);
}

void CLogView::KeyUpDown(int nKey, bool bShift) {
    const bool bDown = nKey == Qt::Key_Down || nKey == Qt::Key_PageDown;
    const bool bPage = nKey == Qt::Key_PageUp || nKey == Qt::Key_PageDown;
    if (bShift) {
        const std::uint64_t nRows = bPage ? static_cast<std::uint64_t>(VisibleRows()) : 1;
        std::uint64_t nRow = LineToRow(m_caret.nLine);
        nRow = bDown ? nRow + nRows : (nRow > nRows ? nRow - nRows : 0);
        MoveCaret(CPosition{RowToLine(nRow), m_caret.nColumn}, true);
        return;
    }
    verticalScrollBar()->triggerAction(
        bPage ? (bDown ? QAbstractSlider::SliderPageStepAdd : QAbstractSlider::SliderPageStepSub)
              : (bDown ? QAbstractSlider::SliderSingleStepAdd
                       : QAbstractSlider::SliderSingleStepSub));
}

void CLogView::KeyToEdge(bool bEnd, bool bShift, bool bControl) {
    if (!bShift) {
        if (bEnd)
            FollowEnd();
        else
            verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMinimum);
        return;
    }
    // Shift: to the line's edge, with Control to the text's.
    if (bEnd)
        MoveCaret(bControl ? EndPosition() : CPosition{m_caret.nLine, LineLength(m_caret.nLine)},
                  true);
    else
        MoveCaret(bControl ? CPosition{0, 0} : CPosition{m_caret.nLine, 0}, true);
}

void CLogView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    // The rows stay where they were seen when pressed, whatever arrives while it is held.
    SyncScrollBars();
    if (m_bFollow) {
        m_bFollow = false;
        SetTopRow(m_nPaintedTop);
    }
    const QPoint point = event->position().toPoint();
    const CPosition position = PositionAt(point);
    if (m_sinceDoubleClick.isValid() &&
        m_sinceDoubleClick.elapsed() < QApplication::doubleClickInterval() &&
        (point - m_doubleClickPoint).manhattanLength() < QApplication::startDragDistance()) {
        m_sinceDoubleClick.invalidate();
        SelectLine(position.nLine);
    } else if (event->modifiers() & Qt::ShiftModifier) {
        MoveCaret(position, true);
    } else {
        SetSelection(position, position);
    }
}

void CLogView::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton)) return;
    SyncScrollBars();
    const QPoint point = event->position().toPoint();
    // Dragging past the edge scrolls one row per move.
    if (point.y() < 0) verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    if (point.y() > viewport()->height())
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    m_caret = PositionAt(point);
    if (HasSelection()) m_bFollow = false;
    viewport()->update();
}

void CLogView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) OfferSelection();
}

void CLogView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    m_doubleClickPoint = event->position().toPoint();
    m_sinceDoubleClick.start();
    // The character under the point, not the boundary nearest to it.
    CPosition position = PositionAt(m_doubleClickPoint);
    if (position.nColumn > 0 && PositionRect(position).x() > m_doubleClickPoint.x())
        position = Step(position, -1);
    SelectWord(position);
}

void CLogView::wheelEvent(QWheelEvent* event) {
    SyncScrollBars();
    if (!(event->modifiers() & Qt::ControlModifier)) {
        QAbstractScrollArea::wheelEvent(event);
        return;
    }
    // Ctrl+wheel zooms, a step a notch.
    m_nWheelZoom += event->angleDelta().y();
    const int nSteps = m_nWheelZoom / 120;
    m_nWheelZoom %= 120;
    if (nSteps != 0) Zoom(nSteps);
    event->accept();
}

QMenu* CLogView::CreateContextMenu() {
    auto* pMenu = new QMenu(this);
    for (const char* name : {"logCopy", "logSelectAll", "logFind", "logFilter", "logSaveAs",
                             "logClear", "logShowTimes"}) {
        QAction* pAction = findChild<QAction*>(QLatin1String(name), Qt::FindDirectChildrenOnly);
        if (pAction == nullptr) continue;
        if (pAction->objectName() == QLatin1String("logCopy")) pAction->setEnabled(HasSelection());
        pMenu->addAction(pAction);
    }
    return pMenu;
}

}  // namespace Platform
