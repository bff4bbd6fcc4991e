#include "CLogViewAccessible.h"

#include <QTextBoundaryFinder>
#include <algorithm>
#include <climits>

#include "CLogFilter.h"
#include "CLogView.h"
#include "Utf8.h"

namespace Platform {

namespace {

QAccessibleInterface* Factory(const QString& /*className*/, QObject* pObject) {
    if (auto* pView = qobject_cast<CLogView*>(pObject)) return new CLogViewAccessible(pView);
    return nullptr;
}

int ToInt(std::uint64_t n) { return static_cast<int>(std::min<std::uint64_t>(n, INT_MAX)); }

}  // namespace

void CLogViewAccessible::Install() {
    static const bool installed = [] {
        QAccessible::installFactory(&Factory);
        return true;
    }();
    (void)installed;
}

void CLogViewAccessible::AddAnnounced(QString& text, std::string_view line) {
    if (text.size() >= kMaxAnnounced) return;
    text += QLatin1Char('\n');
    text += QString::fromUtf8(line.data(),
                              std::min<qsizetype>(line.size(), kMaxAnnounced - text.size()));
}

void CLogViewAccessible::AnnounceInsert(CLogView* pView, std::uint64_t nUnitsBefore,
                                        const QString& text) {
    QAccessibleTextInsertEvent event(pView, ToInt(nUnitsBefore), text);
    QAccessible::updateAccessibility(&event);
}

void CLogViewAccessible::AnnounceClear(CLogView* pView, const QString& removed) {
    // The window belongs to the text that went, whether or not anyone listened to it.
    static_cast<CLogViewAccessible*>(QAccessible::queryAccessibleInterface(pView))->m_bWindowed =
        false;
    if (removed.isEmpty()) return;
    QAccessibleTextRemoveEvent event(pView, 0, removed);
    QAccessible::updateAccessibility(&event);
}

void CLogViewAccessible::AnnounceReplace(CLogView* pView, const QString& removed,
                                         const QString& inserted) {
    static_cast<CLogViewAccessible*>(QAccessible::queryAccessibleInterface(pView))->m_bWindowed =
        false;
    QAccessibleTextUpdateEvent event(pView, 0, removed, inserted);
    QAccessible::updateAccessibility(&event);
}

CLogViewAccessible::CLogViewAccessible(CLogView* pView)
    : QAccessibleWidget(pView, QAccessible::EditableText) {}

CLogView* CLogViewAccessible::View() const { return static_cast<CLogView*>(widget()); }

QAccessible::State CLogViewAccessible::state() const {
    QAccessible::State state = QAccessibleWidget::state();
    state.multiLine = true;
    state.readOnly = true;
    state.editable = false;
    state.selectableText = true;
    return state;
}

QString CLogViewAccessible::text(QAccessible::Text type) const {
    if (type == QAccessible::Description && Windowed()) {
        const CLogStore& store = View()->Store();
        return QStringLiteral(
                   "Only the most recent %1 of %2 lines are readable here; Save Log As "
                   "writes the whole log.")
            .arg(store.LineCount() - m_nWindowLine)
            .arg(store.LineCount() - store.FirstLine());
    }
    return QAccessibleWidget::text(type);
}

void* CLogViewAccessible::interface_cast(QAccessible::InterfaceType type) {
    if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
}

bool CLogViewAccessible::Windowed() const {
    // A filter's text is exposed whole, as far as an int counts.
    if (View()->ActiveFilter() != nullptr) return false;
    const CLogStore& store = View()->Store();
    if (m_bWindowed && m_nWindowFirstLine != store.FirstLine()) m_bWindowed = false;
    const std::uint64_t nHeader = static_cast<std::uint64_t>(View()->HeaderText().size());
    const std::uint64_t nTotal =
        m_bWindowed ? store.CharCount() - m_nWindowUnits : nHeader + store.CharCount();
    if (nTotal > static_cast<std::uint64_t>(INT_MAX)) {
        // Half an int of the newest text: the window moves only once per billion units.
        const std::uint64_t nTarget = store.CharCount() - INT_MAX / 2;
        std::uint64_t nLineUnits = 0;
        std::uint64_t nLine = store.LineAtChar(nTarget, &nLineUnits);
        if (nLineUnits < nTarget && nLine + 1 < store.LineCount()) ++nLine;
        m_nWindowLine = nLine;
        m_nWindowUnits = store.CharsBefore(nLine);
        m_nWindowFirstLine = store.FirstLine();
        m_bWindowed = true;
    }
    return m_bWindowed;
}

int CLogViewAccessible::characterCount() const {
    const CLogStore& store = View()->Store();
    if (const CLogFilter* pFilter = View()->ActiveFilter())
        return ToInt(View()->HeaderText().size() + pFilter->Index().Units());
    if (Windowed()) return ToInt(store.CharCount() - m_nWindowUnits);
    return ToInt(static_cast<std::uint64_t>(View()->HeaderText().size()) + store.CharCount());
}

// The text is row 0, then LF and a line for every kept line, so store unit c is offset
// header + 1 + c. Once windowed it is the store's text from the window's first line on, so
// store unit c is offset c - window.
std::uint64_t CLogViewAccessible::Offset(std::uint64_t nLine, std::uint64_t nColumn) const {
    const CLogStore& store = View()->Store();
    const bool bWindowed = Windowed();
    const QString header = bWindowed ? QString() : View()->HeaderText();
    if (nLine == 0) {
        const std::string bytes = header.toStdString();
        return Utf8::Utf16Units(bytes.data(), std::min<std::size_t>(nColumn, bytes.size()));
    }
    const std::uint64_t nStoreLine = nLine - 1;
    if (const CLogFilter* pFilter = View()->ActiveFilter()) {
        // Row 0, then LF and text for each shown line; a hidden line stands where the next
        // shown one starts.
        const CLogFilterIndex& index = pFilter->Index();
        const std::uint64_t i = index.LowerBound(nStoreLine);
        const std::uint64_t nBefore = header.size() + pFilter->UnitsBefore(i);
        if (i == index.Count() || index.Line(i) != nStoreLine) return nBefore;
        return nBefore + 1 +
               pFilter->UnitsInLine(nStoreLine, std::min(nColumn, store.LineLength(nStoreLine)));
    }
    const std::uint64_t nBase = bWindowed ? m_nWindowLine : store.FirstLine();
    if (nStoreLine < nBase) return static_cast<std::uint64_t>(header.size());
    // Counted from the chunk that holds the position, never from the start of a long line.
    const std::uint64_t nUnits = store.CharsAtByte(store.LineStart(nStoreLine) +
                                                   std::min(nColumn, store.LineLength(nStoreLine)));
    // Row 0 and its LF come first; a window starts right at its first line.
    return bWindowed ? nUnits - m_nWindowUnits : header.size() + 1 + nUnits;
}

void CLogViewAccessible::Position(int offset, std::uint64_t* pLine, std::uint64_t* pColumn) const {
    const CLogStore& store = View()->Store();
    const bool bWindowed = Windowed();
    const QString header = bWindowed ? QString() : View()->HeaderText();
    const auto nOffset = static_cast<std::uint64_t>(std::max(0, offset));
    if (nOffset < static_cast<std::uint64_t>(header.size()) ||
        (nOffset == static_cast<std::uint64_t>(header.size()) && !bWindowed)) {
        *pLine = 0;
        *pColumn = Utf8::BytesForUnits(header.toStdString(), nOffset);
        return;
    }
    if (const CLogFilter* pFilter = View()->ActiveFilter()) {
        FilteredPosition(*pFilter, nOffset - header.size(), pLine, pColumn);
        return;
    }
    const std::uint64_t nBaseUnits = bWindowed ? m_nWindowUnits : 0;
    const std::uint64_t nUnit = nBaseUnits + (nOffset - header.size() - (bWindowed ? 0 : 1));
    if (nUnit >= store.CharCount() || store.LineCount() == store.FirstLine()) {
        *pLine = View()->LineCount() - 1;
        *pColumn = View()->LineLength(*pLine);
        return;
    }
    std::uint64_t nByteUnits = 0;
    std::uint64_t nByte = store.ByteAtChar(nUnit, &nByteUnits);
    // The second unit of a four-byte character: the position after it.
    if (nByteUnits < nUnit) nByte += 4;
    const std::uint64_t nStoreLine = store.LineAt(nByte);
    *pLine = nStoreLine + 1;
    *pColumn = std::min(nByte - store.LineStart(nStoreLine), store.LineLength(nStoreLine));
}

QString CLogViewAccessible::text(int startOffset, int endOffset) const {
    const int nCount = characterCount();
    if (endOffset < 0 || endOffset > nCount) endOffset = nCount;
    startOffset = std::clamp(startOffset, 0, endOffset);
    endOffset = std::min(endOffset, startOffset + kMaxTextUnits);
    const bool bWindowed = Windowed();
    const QString header = bWindowed ? QString() : View()->HeaderText();
    QString text;
    int a = startOffset;
    if (a < header.size()) {
        text += header.mid(a, std::min<int>(endOffset, header.size()) - a);
        a = std::min<int>(endOffset, header.size());
    }
    if (a >= endOffset) return text;
    if (const CLogFilter* pFilter = View()->ActiveFilter())
        return text + FilteredText(*pFilter, a - header.size(), endOffset - a);
    std::uint64_t nUnit = (bWindowed ? m_nWindowUnits : 0) + (a - header.size());
    if (!bWindowed) {
        // The LF that ends row 0.
        if (nUnit == 0) {
            text += QLatin1Char('\n');
            ++a;
        } else {
            --nUnit;
        }
    }
    text += StoreText(nUnit, endOffset - a);
    return text;
}

QString CLogViewAccessible::StoreText(std::uint64_t nUnit, qsizetype nNeed) const {
    const CLogStore& store = View()->Store();
    // Read from the byte that holds the first unit asked for, so that a range deep in a long
    // line costs what the range costs.
    std::uint64_t nByteUnits = 0;
    const std::uint64_t nByte = store.ByteAtChar(nUnit, &nByteUnits);
    QString text;
    if (nByte >= store.EndByte()) return text;
    std::uint64_t nLine = store.LineAt(nByte);
    std::uint64_t nColumn = nByte - store.LineStart(nLine);
    qsizetype nFrom = static_cast<qsizetype>(nUnit - nByteUnits);
    while (nNeed > 0 && nLine < store.LineCount()) {
        const std::string bytes =
            store.ReadLine(nLine, nColumn, static_cast<std::size_t>(nFrom + nNeed) * 4);
        const QString part =
            QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size())).mid(nFrom, nNeed);
        text += part;
        nNeed -= part.size();
        if (nNeed > 0) {
            text += QLatin1Char('\n');
            --nNeed;
        }
        ++nLine;
        nFrom = 0;
        nColumn = 0;
    }
    return text;
}

void CLogViewAccessible::FilteredPosition(const CLogFilter& filter, std::uint64_t nUnit,
                                          std::uint64_t* pLine, std::uint64_t* pColumn) const {
    std::uint64_t nBefore = 0;
    const std::uint64_t i = filter.MatchAtUnit(nUnit, &nBefore);
    if (i == filter.Index().Count() || nUnit == nBefore) {
        // Past the end, or on the LF before a line: the end of the line before.
        *pLine = View()->RowToLine(i);
        *pColumn = View()->LineLength(*pLine);
        return;
    }
    const std::uint64_t nLine = filter.Index().Line(i);
    *pLine = nLine + 1;
    *pColumn = ColumnAtUnit(nLine, nUnit - nBefore - 1);
}

std::uint64_t CLogViewAccessible::ColumnAtUnit(std::uint64_t nLine, std::uint64_t nUnit) const {
    const CLogStore& store = View()->Store();
    const std::uint64_t nLength = store.LineLength(nLine);
    if (nLength <= kShortLine) return Utf8::BytesForUnits(store.ReadLine(nLine), nUnit);
    // From the chunk that holds the unit, not from the start of the long line.
    std::uint64_t nByteUnits = 0;
    const std::uint64_t nTarget = store.CharsBefore(nLine) + nUnit;
    std::uint64_t nByte = store.ByteAtChar(nTarget, &nByteUnits);
    if (nByteUnits < nTarget) nByte += 4;
    return std::min(nByte - store.LineStart(nLine), nLength);
}

QString CLogViewAccessible::FilteredText(const CLogFilter& filter, std::uint64_t nUnit,
                                         qsizetype nNeed) const {
    const CLogStore& store = View()->Store();
    const CLogFilterIndex& index = filter.Index();
    std::uint64_t nBefore = 0;
    QString text;
    for (std::uint64_t i = filter.MatchAtUnit(nUnit, &nBefore); nNeed > 0 && i < index.Count();
         ++i) {
        const std::uint64_t nLine = index.Line(i);
        // Unit 0 of a shown line is the LF before it.
        std::uint64_t nFrom = nUnit - nBefore;
        if (nFrom == 0) {
            text += QLatin1Char('\n');
            --nNeed;
            nFrom = 1;
        }
        const std::uint64_t nUnits = filter.LineUnits(nLine);
        const QString part =
            store.LineLength(nLine) <= kShortLine
                ? QString::fromStdString(store.ReadLine(nLine))
                      .mid(static_cast<qsizetype>(nFrom - 1), nNeed)
                : StoreText(store.CharsBefore(nLine) + nFrom - 1,
                            std::min<qsizetype>(nNeed, static_cast<qsizetype>(nUnits - nFrom)));
        text += part;
        nNeed -= part.size();
        nBefore += nUnits;
        nUnit = nBefore;
    }
    return text;
}

void CLogViewAccessible::LineBounds(int offset, int* pStart, int* pEnd) const {
    std::uint64_t nLine = 0;
    std::uint64_t nColumn = 0;
    Position(offset, &nLine, &nColumn);
    *pStart = std::min(offset, ToInt(Offset(nLine, 0)));
    *pEnd = ToInt(Offset(nLine, View()->LineLength(nLine)));
}

QString CLogViewAccessible::textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                         int* startOffset, int* endOffset) const {
    const int nCount = characterCount();
    *startOffset = *endOffset = -1;
    if (offset < 0 || offset > nCount) return QString();
    if (boundaryType == QAccessible::CharBoundary) {
        if (offset == nCount) return QString();
        *startOffset = offset;
        *endOffset = offset + 1;
        return text(offset, offset + 1);
    }
    if (boundaryType == QAccessible::NoBoundary) {
        *startOffset = 0;
        *endOffset = nCount;
        return text(0, nCount);
    }
    int nLineStart = 0;
    int nLineEnd = 0;
    LineBounds(offset, &nLineStart, &nLineEnd);
    if (boundaryType == QAccessible::LineBoundary ||
        boundaryType == QAccessible::ParagraphBoundary) {
        // A line with the LF that ends it.
        *startOffset = nLineStart;
        *endOffset = std::min(nCount, nLineEnd + 1);
        return text(*startOffset, *endOffset);
    }
    const QString line = text(nLineStart, nLineEnd);
    QTextBoundaryFinder finder(boundaryType == QAccessible::WordBoundary
                                   ? QTextBoundaryFinder::Word
                                   : QTextBoundaryFinder::Sentence,
                               line);
    const int nAt = std::clamp(offset - nLineStart, 0, static_cast<int>(line.size()));
    finder.setPosition(nAt);
    int nStart = finder.isAtBoundary() ? nAt : static_cast<int>(finder.toPreviousBoundary());
    finder.setPosition(nAt);
    int nEnd = static_cast<int>(finder.toNextBoundary());
    if (nStart < 0) nStart = 0;
    if (nEnd < 0) nEnd = static_cast<int>(line.size());
    *startOffset = nLineStart + nStart;
    *endOffset = nLineStart + nEnd;
    return line.mid(nStart, nEnd - nStart);
}

QString CLogViewAccessible::textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                             int* startOffset, int* endOffset) const {
    int nStart = 0;
    int nEnd = 0;
    textAtOffset(offset, boundaryType, &nStart, &nEnd);
    *startOffset = *endOffset = -1;
    if (nStart <= 0) return QString();
    return textAtOffset(nStart - 1, boundaryType, startOffset, endOffset);
}

QString CLogViewAccessible::textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                            int* startOffset, int* endOffset) const {
    int nStart = 0;
    int nEnd = 0;
    textAtOffset(offset, boundaryType, &nStart, &nEnd);
    *startOffset = *endOffset = -1;
    if (nEnd < 0 || nEnd >= characterCount()) return QString();
    return textAtOffset(nEnd, boundaryType, startOffset, endOffset);
}

void CLogViewAccessible::selection(int selectionIndex, int* startOffset, int* endOffset) const {
    *startOffset = *endOffset = 0;
    if (selectionIndex != 0 || !View()->HasSelection()) return;
    const CLogView::CPosition start = std::min(View()->Anchor(), View()->Caret());
    const CLogView::CPosition end = std::max(View()->Anchor(), View()->Caret());
    *startOffset = ToInt(Offset(start.nLine, start.nColumn));
    *endOffset = ToInt(Offset(end.nLine, end.nColumn));
}

int CLogViewAccessible::selectionCount() const { return View()->HasSelection() ? 1 : 0; }

void CLogViewAccessible::addSelection(int startOffset, int endOffset) {
    setSelection(0, startOffset, endOffset);
}

void CLogViewAccessible::removeSelection(int selectionIndex) {
    if (selectionIndex == 0) View()->SetSelection(View()->Caret(), View()->Caret());
}

void CLogViewAccessible::setSelection(int selectionIndex, int startOffset, int endOffset) {
    if (selectionIndex != 0) return;
    CLogView::CPosition anchor;
    CLogView::CPosition caret;
    Position(startOffset, &anchor.nLine, &anchor.nColumn);
    Position(endOffset, &caret.nLine, &caret.nColumn);
    View()->SetSelection(anchor, caret);
}

int CLogViewAccessible::cursorPosition() const {
    return ToInt(Offset(View()->Caret().nLine, View()->Caret().nColumn));
}

void CLogViewAccessible::setCursorPosition(int position) {
    CLogView::CPosition caret;
    Position(position, &caret.nLine, &caret.nColumn);
    View()->SetSelection(caret, caret);
}

QRect CLogViewAccessible::characterRect(int offset) const {
    CLogView::CPosition position;
    Position(offset, &position.nLine, &position.nColumn);
    const QRect rect = View()->PositionRect(position);
    return QRect(View()->viewport()->mapToGlobal(rect.topLeft()), rect.size());
}

int CLogViewAccessible::offsetAtPoint(const QPoint& point) const {
    const QPoint local = View()->viewport()->mapFromGlobal(point);
    if (!View()->viewport()->rect().contains(local)) return -1;
    const CLogView::CPosition position = View()->PositionAt(local);
    return ToInt(Offset(position.nLine, position.nColumn));
}

void CLogViewAccessible::scrollToSubstring(int startIndex, int /*endIndex*/) {
    CLogView::CPosition position;
    Position(startIndex, &position.nLine, &position.nColumn);
    View()->EnsureVisible(position.nLine);
}

QString CLogViewAccessible::attributes(int /*offset*/, int* startOffset, int* endOffset) const {
    *startOffset = 0;
    *endOffset = characterCount();
    return QString();
}

}  // namespace Platform
