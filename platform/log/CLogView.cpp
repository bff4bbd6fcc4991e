#include "CLogView.h"

#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QPainter>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>
#include <climits>

#include "CControlPictures.h"
#include "CLogFilter.h"
#include "CLogFind.h"
#include "CLogSave.h"
#include "CLogViewAccessible.h"
#include "TimeText.h"
#include "Utf8.h"

namespace Platform {

namespace {

// A frame: appends repaint the view at most this often.
constexpr qint64 kFrameMs = 16;
// Bytes of one line read for painting: past the widest viewport whatever the glyphs.
constexpr std::size_t kMaxSliceBytes = 16 * 1024;
// Widest line the horizontal scroll bar counts, in columns.
constexpr std::uint64_t kMaxColumns = 1u << 30;
// Rows a scroll bar of int steps addresses one by one.
constexpr std::uint64_t kMaxScrollSteps = 1u << 30;
// Chunks the store hands to its writer per turn of the event loop (2 MiB each); handing one
// over costs a queue push, the write itself happens off the UI thread.
constexpr std::size_t kSpillChunksPerTurn = 32;

CLogView::SaveFileNameScript& SaveScript() {
    static CLogView::SaveFileNameScript script;
    return script;
}

// What the painter needs of one row: the slice in sight, from a character boundary.
struct CSlice {
    std::string bytes;
    std::uint64_t nFirstColumn = 0;
    QString text;
    bool bWhole = false;  // the slice reaches the line's end
};

}  // namespace

void CLogView::SetSaveFileNameScript(SaveFileNameScript script) {
    SaveScript() = std::move(script);
}

CLogView::CLogView(QWidget* pParent) : CLogView(CLogStore::CLimits(), pParent) {}

CLogView::CLogView(const CLogStore::CLimits& limits, QWidget* pParent)
    : QAbstractScrollArea(pParent), m_store(limits) {
    // The writer thread only posts: the spills it finished are ended on this thread.
    m_store.SetOnWritten(
        [this] { QMetaObject::invokeMethod(this, &CLogView::SpillSome, Qt::QueuedConnection); });
    CLogViewAccessible::Install();
    setFocusPolicy(Qt::StrongFocus);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, &CLogView::OnScrollValueChanged);

    const auto addLogAction = [this](const QString& text, const QString& name, QKeySequence key,
                                     void (CLogView::*pSlot)()) {
        auto* pAction = new QAction(text, this);
        pAction->setObjectName(name);
        pAction->setShortcut(key);
        pAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        connect(pAction, &QAction::triggered, this, pSlot);
        QWidget::addAction(pAction);
    };
    addLogAction(tr("&Copy"), QStringLiteral("logCopy"), QKeySequence::Copy, &CLogView::Copy);
    addLogAction(tr("Select A&ll"), QStringLiteral("logSelectAll"), QKeySequence::SelectAll,
                 &CLogView::SelectAll);
    addLogAction(tr("&Find..."), QStringLiteral("logFind"), QKeySequence::Find,
                 &CLogView::ShowFind);
    addLogAction(tr("F&ilter..."), QStringLiteral("logFilter"),
                 QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F), &CLogView::ShowFilter);
    addLogAction(tr("&Save Log As..."), QStringLiteral("logSaveAs"), QKeySequence::Save,
                 &CLogView::SaveLogAs);
    addLogAction(tr("Cl&ear Log"), QStringLiteral("logClear"), QKeySequence(), &CLogView::Clear);
    auto* pShowTimes = new QAction(tr("Show &Times"), this);
    pShowTimes->setObjectName(QStringLiteral("logShowTimes"));
    pShowTimes->setCheckable(true);
    pShowTimes->setChecked(m_bShowTimes);
    connect(pShowTimes, &QAction::toggled, this, &CLogView::SetShowTimes);
    QWidget::addAction(pShowTimes);
    m_pFind = std::make_unique<CLogFind>(*this);
    connect(m_pFind.get(), &CLogFind::finished, this, &CLogView::searchFinished);
    m_pFilter = std::make_unique<CLogFilter>(*this);
    connect(m_pFilter.get(), &CLogFilter::rowsAboutToReset, this, &CLogView::OnFilterAboutToReset);
    connect(m_pFilter.get(), &CLogFilter::rowsReset, this, &CLogView::OnFilterReset);
    connect(m_pFilter.get(), &CLogFilter::rowsAdded, this, &CLogView::OnFilterRowsAdded);
    connect(m_pFilter.get(), &CLogFilter::scanFinished, this, &CLogView::filterFinished);
    m_pSave = std::make_unique<CLogSave>(*this);
    connect(m_pSave.get(), &CLogSave::finished, this, &CLogView::saveFinished);
}

CLogView::~CLogView() = default;

// ---- appending --------------------------------------------------------------------------

void CLogView::AppendLines(std::list<CTimedLines>&& blocks) {
    if (blocks.empty()) return;
    std::uint64_t nUnitsBefore = 0;
    // Under a filter, the matches among them are announced as the filter finds them.
    const bool bAnnounce =
        !m_pFilter->IsActive() && CLogViewAccessible::IsListening(this, &nUnitsBefore);
    // Taken before the store takes the text.
    QString announced;
    if (bAnnounce)
        for (const CTimedLines& block : blocks)
            CLogViewAccessible::AddAnnounced(announced, block.text);
    for (CTimedLines& block : blocks) m_store.Adopt(std::move(block.text), block.nTime);
    EndAppend(bAnnounce, nUnitsBefore, announced);
}

void CLogView::AppendLine(std::string_view line) {
    std::uint64_t nUnitsBefore = 0;
    const bool bAnnounce =
        !m_pFilter->IsActive() && CLogViewAccessible::IsListening(this, &nUnitsBefore);
    QString announced;
    if (bAnnounce) CLogViewAccessible::AddAnnounced(announced, line);
    m_store.Append(line, QDateTime::currentMSecsSinceEpoch());
    EndAppend(bAnnounce, nUnitsBefore, announced);
}

void CLogView::Clear() {
    // Both read the store by its offsets, which start again.
    m_pFind->Stop();
    m_pSave->Cancel();
    std::uint64_t nUnitsBefore = 0;
    const QString removed = CLogViewAccessible::IsListening(this, &nUnitsBefore)
                                ? Text(CLogViewAccessible::kMaxAnnounced)
                                : QString();
    m_store.Clear();
    CLogViewAccessible::AnnounceClear(this, removed);
    // A filter stays on for the lines that come next.
    m_pFilter->Restart();
    m_anchor = m_caret = CPosition();
    m_bFollow = true;
    Relayout();
    horizontalScrollBar()->setValue(0);
    emit cleared();
}

void CLogView::EndAppend(bool bAnnounce, std::uint64_t nUnitsBefore, const QString& announced) {
    if (bAnnounce) CLogViewAccessible::AnnounceInsert(this, nUnitsBefore, announced);
    m_pFilter->OnAppended();
    m_bBarsStale = true;
    ScheduleFrame();
    ScheduleSpill();
    emit linesAppended(LineCount());
}

void CLogView::ScheduleFrame() {
    if (m_bFramePending) return;
    const qint64 nLeft = m_sinceFrame.isValid() ? kFrameMs - m_sinceFrame.elapsed() : 0;
    if (nLeft <= 0) {
        EndFrame();
        return;
    }
    m_bFramePending = true;
    QTimer::singleShot(nLeft, this, &CLogView::EndFrame);
}

void CLogView::EndFrame() {
    m_bFramePending = false;
    m_sinceFrame.start();
    SyncScrollBars();
    viewport()->update();
}

void CLogView::SyncScrollBars() {
    if (!m_bBarsStale) return;
    m_bBarsStale = false;
    UpdateScrollBars();
    if (m_bFollow) SetTopRow(LastTopRow());
}

void CLogView::ScheduleSpill() {
    if (m_bSpillScheduled || !m_store.NeedsSpill()) return;
    m_bSpillScheduled = true;
    QTimer::singleShot(0, this, &CLogView::SpillSome);
}

void CLogView::SpillSome() {
    m_bSpillScheduled = false;
    const std::uint64_t nFirst = m_store.FirstLine();
    // Writes in flight call back when they finish; only chunks left to hand over need a turn.
    if (m_store.Spill(kSpillChunksPerTurn)) ScheduleSpill();
    if (m_store.FirstLine() != nFirst) {
        // Lines went: positions before them move to the first kept line.
        m_anchor = Clamp(m_anchor);
        m_caret = Clamp(m_caret);
        UpdateScrollBars();
        if (m_bFollow) SetTopRow(LastTopRow());
        viewport()->update();
        // The filter's index counts from the lines that went.
        m_pFilter->Restart();
    }
}

// ---- lines --------------------------------------------------------------------------------

QString CLogView::HeaderText() const {
    if (m_store.DroppedLines() == 0) return QString();
    return tr("%1 earlier lines dropped: %2")
        .arg(m_store.DroppedLines())
        .arg(QString::fromLocal8Bit(m_store.DropReason().c_str()));
}

std::string CLogView::LineText(std::uint64_t nLine, std::uint64_t nFrom, std::size_t nMax) const {
    if (nLine == 0) {
        const QByteArray header = HeaderText().toUtf8();
        if (nFrom >= static_cast<std::uint64_t>(header.size())) return std::string();
        return header.toStdString().substr(nFrom, nMax);
    }
    return m_store.ReadLine(nLine - 1, nFrom, nMax);
}

std::uint64_t CLogView::LineLength(std::uint64_t nLine) const {
    if (nLine == 0) return HeaderText().toUtf8().size();
    if (nLine < FirstKeptLine() || nLine >= LineCount()) return 0;
    return m_store.LineLength(nLine - 1);
}

QString CLogView::Text(std::uint64_t nMaxUnits) const {
    QString text = HeaderText();
    for (std::uint64_t nRow = 1; nRow < RowCount(); ++nRow) {
        if (static_cast<std::uint64_t>(text.size()) >= nMaxUnits) break;
        text += QLatin1Char('\n');
        text += QString::fromStdString(LineText(RowToLine(nRow)));
    }
    return text.left(static_cast<qsizetype>(std::min<std::uint64_t>(nMaxUnits, text.size())));
}

std::uint64_t CLogView::RowCount() const {
    if (m_pFilter->IsActive()) return m_pFilter->Index().Count() + 1;
    return LineCount() - m_store.FirstLine();
}

std::uint64_t CLogView::RowToLine(std::uint64_t nRow) const {
    if (nRow == 0) return 0;
    if (m_pFilter->IsActive()) return m_pFilter->Index().Line(nRow - 1) + 1;
    return m_store.FirstLine() + nRow;
}

std::uint64_t CLogView::LineToRow(std::uint64_t nLine) const {
    if (nLine < FirstKeptLine()) return 0;
    if (m_pFilter->IsActive())
        return std::min(RowCount() - 1, m_pFilter->Index().LowerBound(nLine - 1) + 1);
    return nLine - m_store.FirstLine();
}

bool CLogView::IsLineShown(std::uint64_t nLine) const {
    return nLine == 0 || !m_pFilter->IsActive() || m_pFilter->Index().Contains(nLine - 1);
}

std::uint64_t CLogView::ShownFrom(std::uint64_t nOffset) const {
    if (!m_pFilter->IsActive()) return nOffset;
    const CLogFilterIndex& index = m_pFilter->Index();
    const std::uint64_t nLine = m_store.LineAt(nOffset);
    const std::uint64_t i = index.LowerBound(nLine);
    if (i == index.Count()) return m_store.EndByte();
    const std::uint64_t nShown = index.Line(i);
    return nShown == nLine ? nOffset : m_store.LineStart(nShown);
}

std::uint64_t CLogView::ShownUntil(std::uint64_t nOffset) const {
    if (!m_pFilter->IsActive()) return nOffset;
    const CLogFilterIndex& index = m_pFilter->Index();
    const std::uint64_t nLine = m_store.LineAt(nOffset);
    const std::uint64_t i = index.LowerBound(nLine);
    if (i < index.Count() && index.Line(i) == nLine) return nOffset;
    if (i == 0) return m_store.FirstByte();
    const std::uint64_t nShown = index.Line(i - 1);
    return m_store.LineStart(nShown) + m_store.LineLength(nShown);
}

// ---- scrolling ----------------------------------------------------------------------------

int CLogView::VisibleRows() const {
    return std::max(1, viewport()->height() / std::max(1, fontMetrics().height()));
}

std::uint64_t CLogView::LastTopRow() const {
    const std::uint64_t nRows = RowCount();
    const auto nVisible = static_cast<std::uint64_t>(VisibleRows());
    return nRows > nVisible ? nRows - nVisible : 0;
}

void CLogView::UpdateScrollBars() {
    const std::uint64_t nLast = LastTopRow();
    m_nRowsPerStep = nLast / kMaxScrollSteps + 1;
    m_bScrolling = true;
    QScrollBar* pVertical = verticalScrollBar();
    pVertical->setRange(0, static_cast<int>((nLast + m_nRowsPerStep - 1) / m_nRowsPerStep));
    pVertical->setPageStep(std::max<int>(
        1, VisibleRows() / static_cast<int>(std::min<std::uint64_t>(m_nRowsPerStep, INT_MAX))));
    const int nColumnWidth = std::max(1, fontMetrics().averageCharWidth());
    const int nVisibleColumns = std::max(1, (viewport()->width() - TextLeft()) / nColumnWidth);
    const std::uint64_t nColumns =
        std::max<std::uint64_t>(m_store.MaxLineLength(), HeaderText().toUtf8().size());
    QScrollBar* pHorizontal = horizontalScrollBar();
    pHorizontal->setRange(
        0, static_cast<int>(
               std::min(kMaxColumns, nColumns + 1 > static_cast<std::uint64_t>(nVisibleColumns)
                                         ? nColumns + 1 - nVisibleColumns
                                         : 0)));
    pHorizontal->setPageStep(nVisibleColumns);
    m_bScrolling = false;
}

std::uint64_t CLogView::TopRow() const {
    const QScrollBar* pVertical = verticalScrollBar();
    // Stale scroll bars end short of the store's end: only following means the end then.
    if (pVertical->value() >= pVertical->maximum() && (m_bFollow || !m_bBarsStale))
        return LastTopRow();
    return std::min(LastTopRow(), static_cast<std::uint64_t>(pVertical->value()) * m_nRowsPerStep);
}

void CLogView::SetTopRow(std::uint64_t nRow) {
    SyncScrollBars();
    m_bScrolling = true;
    verticalScrollBar()->setValue(static_cast<int>(
        nRow >= LastTopRow() ? verticalScrollBar()->maximum() : nRow / m_nRowsPerStep));
    m_bScrolling = false;
}

void CLogView::OnScrollValueChanged(int value) {
    // The operator's own scrolling: away from the end holds the view, back at the end
    // follows again.
    if (!m_bScrolling) m_bFollow = value == verticalScrollBar()->maximum();
}

// The view's own moves repaint where they are made, once.
void CLogView::scrollContentsBy(int /*dx*/, int /*dy*/) {
    if (!m_bScrolling) viewport()->update();
}

void CLogView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    Relayout();
}

void CLogView::Relayout() {
    m_bBarsStale = false;
    UpdateScrollBars();
    if (m_bFollow) SetTopRow(LastTopRow());
    PlaceBars();
    viewport()->update();
}

void CLogView::Zoom(int nSteps) {
    QFont zoomed = font();
    // A font sized in pixels has no point size: it zooms from the dialog fonts' 9 points.
    const qreal fPoints = zoomed.pointSizeF() > 0 ? zoomed.pointSizeF() : 9;
    zoomed.setPointSizeF(std::clamp<qreal>(fPoints + nSteps, kMinPoints, kMaxPoints));
    setFont(zoomed);
    Relayout();
}

void CLogView::ResetZoom() {
    setFont(QFont());
    Relayout();
}

int CLogView::TextLeft() const {
    if (!m_bShowTimes) return kMargin;
    const QFontMetrics metrics(font());
    // Digits are as wide as each other in the fonts a dialog uses; a gap of two columns.
    return kMargin + metrics.horizontalAdvance(QStringLiteral("00:00:00.000")) +
           2 * metrics.averageCharWidth();
}

void CLogView::SetShowTimes(bool bShow) {
    if (bShow == m_bShowTimes) return;
    m_bShowTimes = bShow;
    if (auto* pAction =
            findChild<QAction*>(QStringLiteral("logShowTimes"), Qt::FindDirectChildrenOnly))
        pAction->setChecked(bShow);
    Relayout();
}

void CLogView::FollowEnd() {
    m_bFollow = true;
    SetTopRow(LastTopRow());
    horizontalScrollBar()->setValue(0);
    viewport()->update();
}

void CLogView::EnsureVisible(std::uint64_t nLine) {
    const std::uint64_t nRow = LineToRow(nLine);
    const std::uint64_t nTop = TopRow();
    const auto nVisible = static_cast<std::uint64_t>(VisibleRows());
    if (nRow >= nTop && nRow < nTop + nVisible) return;
    const std::uint64_t nWanted = nRow > nVisible / 2 ? nRow - nVisible / 2 : 0;
    SetTopRow(nWanted);
    m_bFollow = nWanted >= LastTopRow() && !HasSelection();
    viewport()->update();
}

// ---- painting -----------------------------------------------------------------------------

namespace {

CSlice ReadSlice(const CLogView& view, std::uint64_t nLine, std::uint64_t nColumn,
                 std::size_t nBytes) {
    CSlice slice;
    slice.bytes = view.LineText(nLine, nColumn, nBytes + 4);
    const std::size_t nSkip = Utf8::CharStartAtOrAfter(slice.bytes, 0);
    slice.bytes.erase(0, nSkip);
    slice.nFirstColumn = nColumn + nSkip;
    slice.bWhole = slice.nFirstColumn + slice.bytes.size() >= view.LineLength(nLine);
    slice.text = QString::fromUtf8(slice.bytes.data(), static_cast<qsizetype>(slice.bytes.size()));
    return slice;
}

// Bytes of a row read for painting: four a column, past the viewport's width.
std::size_t SliceBytes(int nWidth, const QFontMetrics& metrics) {
    const auto nColumns =
        static_cast<std::size_t>(nWidth / std::max(1, metrics.averageCharWidth()) + 2);
    return std::min<std::size_t>(kMaxSliceBytes, nColumns * 4);
}

}  // namespace

void CLogView::paintEvent(QPaintEvent* /*event*/) {
    SyncScrollBars();
    QPainter painter(viewport());
    const QFontMetrics metrics(font());
    const CControlPictures pictures(font());
    const int nLineHeight = std::max(1, metrics.height());
    const std::uint64_t nTop = m_nPaintedTop = TopRow();
    const std::uint64_t nRows = RowCount();
    const int nVisible = viewport()->height() / nLineHeight + 1;
    const auto nColumn = static_cast<std::uint64_t>(horizontalScrollBar()->value());
    const std::size_t nSliceBytes = SliceBytes(viewport()->width(), metrics);
    const CPosition selectionStart = std::min(m_anchor, m_caret);
    const CPosition selectionEnd = std::max(m_anchor, m_caret);
    const QPalette& colors = palette();
    // Control pictures: the text's colour, faded, so they stand apart from what was sent.
    QColor muted = colors.color(QPalette::Text);
    muted.setAlphaF(0.6f);
    const int nLeft = TextLeft();

    int nPainted = 0;
    for (int i = 0; i < nVisible && nTop + i < nRows; ++i) {
        const std::uint64_t nLine = RowToLine(nTop + i);
        const int y = i * nLineHeight;
        const CSlice slice = ReadSlice(*this, nLine, nColumn, nSliceBytes);
        if (m_bShowTimes && nLine > 0) {
            painter.setPen(colors.color(QPalette::PlaceholderText));
            painter.drawText(kMargin, y + metrics.ascent(),
                             QString::fromStdString(TimeText::Clock(m_store.LineTime(nLine - 1))));
        }
        painter.setPen(nLine == 0 ? QColor(Qt::darkRed) : colors.color(QPalette::Text));
        pictures.Draw(painter, nLeft, y + metrics.ascent(), slice.text, muted);
        ++nPainted;

        if (!HasSelection() || nLine < selectionStart.nLine || nLine > selectionEnd.nLine) continue;
        const auto xOf = [&](std::uint64_t nAt) {
            if (nAt <= slice.nFirstColumn) return nLeft;
            const std::size_t nBytes = static_cast<std::size_t>(
                std::min<std::uint64_t>(nAt - slice.nFirstColumn, slice.bytes.size()));
            if (nBytes == slice.bytes.size() && !slice.bWhole) return viewport()->width();
            return nLeft +
                   pictures.Advance(slice.text.left(Utf8::Utf16Units(slice.bytes.data(), nBytes)));
        };
        const int x1 = nLine == selectionStart.nLine ? xOf(selectionStart.nColumn) : nLeft;
        const int x2 = nLine == selectionEnd.nLine
                           ? xOf(selectionEnd.nColumn)
                           : xOf(UINT64_MAX) + metrics.averageCharWidth();  // the line break
        if (x2 <= x1) continue;
        const QRect selected(x1, y, x2 - x1, nLineHeight);
        painter.fillRect(selected, colors.brush(QPalette::Highlight));
        painter.save();
        painter.setClipRect(selected);
        painter.setPen(colors.color(QPalette::HighlightedText));
        pictures.Draw(painter, nLeft, y + metrics.ascent(), slice.text,
                      colors.color(QPalette::HighlightedText));
        painter.restore();
    }
    m_nPaintedRows = nPainted;
}

CLogView::CPosition CLogView::PositionAt(const QPoint& point) const {
    const QFontMetrics metrics(font());
    const CControlPictures pictures(font());
    const int nLineHeight = std::max(1, metrics.height());
    const std::uint64_t nRows = RowCount();
    const std::uint64_t nRow = std::min(
        nRows - 1, TopRow() + static_cast<std::uint64_t>(std::max(0, point.y()) / nLineHeight));
    const std::uint64_t nLine = RowToLine(nRow);
    const auto nColumn = static_cast<std::uint64_t>(horizontalScrollBar()->value());
    const CSlice slice = ReadSlice(*this, nLine, nColumn, kMaxSliceBytes);
    const int x = point.x() - TextLeft();
    // The first prefix that reaches past x, then the nearer of its two ends.
    qsizetype nLow = 0;
    qsizetype nHigh = slice.text.size();
    while (nLow < nHigh) {
        const qsizetype nMid = (nLow + nHigh) / 2;
        if (pictures.Advance(slice.text.left(nMid + 1)) <= x)
            nLow = nMid + 1;
        else
            nHigh = nMid;
    }
    qsizetype nUnits = nLow;
    if (nUnits < slice.text.size()) {
        const int nBefore = pictures.Advance(slice.text.left(nUnits));
        const int nAfter = pictures.Advance(slice.text.left(nUnits + 1));
        if (x - nBefore > nAfter - x) ++nUnits;
    }
    if (nUnits > 0 && nUnits < slice.text.size() && slice.text.at(nUnits).isLowSurrogate())
        ++nUnits;
    const std::uint64_t nAt =
        x <= 0 ? slice.nFirstColumn
               : slice.nFirstColumn +
                     Utf8::BytesForUnits(slice.bytes, static_cast<std::size_t>(nUnits));
    return Clamp(CPosition{nLine, std::min(nAt, LineLength(nLine))});
}

QRect CLogView::PositionRect(const CPosition& position) const {
    const QFontMetrics metrics(font());
    const int nLineHeight = std::max(1, metrics.height());
    const std::uint64_t nRow = LineToRow(position.nLine);
    const std::uint64_t nTop = TopRow();
    const int y =
        nRow >= nTop ? static_cast<int>(std::min<std::uint64_t>(nRow - nTop, 1 << 20)) * nLineHeight
                     : -nLineHeight;
    const auto nColumn = static_cast<std::uint64_t>(horizontalScrollBar()->value());
    int x = TextLeft();
    if (position.nColumn > nColumn) {
        const CSlice slice = ReadSlice(*this, position.nLine, nColumn, kMaxSliceBytes);
        const std::size_t nBytes = static_cast<std::size_t>(
            std::min<std::uint64_t>(position.nColumn - slice.nFirstColumn, slice.bytes.size()));
        x += CControlPictures(font()).Advance(
            slice.text.left(Utf8::Utf16Units(slice.bytes.data(), nBytes)));
    }
    return QRect(x, y, std::max(1, metrics.averageCharWidth()), nLineHeight);
}

// ---- find and save ------------------------------------------------------------------------

std::uint64_t CLogView::StreamOffset(const CPosition& position) const {
    if (position.nLine == 0 || position.nLine < FirstKeptLine()) return m_store.FirstByte();
    return m_store.LineStart(position.nLine - 1) + position.nColumn;
}

CLogView::CPosition CLogView::StreamPosition(std::uint64_t nOffset) const {
    const std::uint64_t nLine = m_store.LineAt(nOffset);
    return CPosition{nLine + 1, nOffset - m_store.LineStart(nLine)};
}

void CLogView::ShowRange(const CPosition& start, const CPosition& end) {
    SyncScrollBars();
    SetSelection(start, end);
    EnsureVisible(start.nLine);
    // Across, only when the range is not in sight already, and with a little of what precedes.
    QScrollBar* pHorizontal = horizontalScrollBar();
    if (start.nColumn < static_cast<std::uint64_t>(pHorizontal->value()) ||
        end.nColumn > static_cast<std::uint64_t>(pHorizontal->value() + pHorizontal->pageStep()))
        pHorizontal->setValue(static_cast<int>(
            std::min<std::uint64_t>(start.nColumn > 8 ? start.nColumn - 8 : 0,
                                    static_cast<std::uint64_t>(pHorizontal->maximum()))));
}

void CLogView::ShowFind() {
    m_pFind->Show();
    PlaceBars();
}

void CLogView::PlaceBars() {
    m_pFind->Place();
    m_pFilter->Place(m_pFind->BarGeometry());
}

void CLogView::Find(const QString& text, bool bBackward) { m_pFind->Find(text, bBackward); }

bool CLogView::IsSearching() const { return m_pFind->IsSearching(); }

void CLogView::ShowFilter() {
    PlaceBars();
    m_pFilter->Show();
}

void CLogView::Filter(const QString& text) { m_pFilter->Apply(text); }

const CLogFilter* CLogView::ActiveFilter() const {
    return m_pFilter->IsActive() ? m_pFilter.get() : nullptr;
}

void CLogView::OnFilterAboutToReset() {
    m_nResetTopLine = RowToLine(TopRow());
    std::uint64_t nUnits = 0;
    m_resetRemoved = CLogViewAccessible::IsListening(this, &nUnits)
                         ? Text(CLogViewAccessible::kMaxAnnounced)
                         : QString();
}

void CLogView::OnFilterReset() {
    m_pSave->OnRowsReset();
    // A filter starts without a selection; ending one keeps the selection there was.
    if (m_pFilter->IsActive()) m_anchor = m_caret = CPosition();
    m_anchor = Clamp(m_anchor);
    m_caret = Clamp(m_caret);
    m_bBarsStale = false;
    UpdateScrollBars();
    SetTopRow(m_bFollow ? LastTopRow() : LineToRow(m_nResetTopLine));
    viewport()->update();
    std::uint64_t nUnits = 0;
    if (CLogViewAccessible::IsListening(this, &nUnits))
        CLogViewAccessible::AnnounceReplace(this, m_resetRemoved,
                                            Text(CLogViewAccessible::kMaxAnnounced));
    m_resetRemoved.clear();
}

void CLogView::OnFilterRowsAdded(quint64 nRowsBefore) {
    std::uint64_t nUnits = 0;
    if (CLogViewAccessible::IsListening(this, &nUnits)) {
        QString announced;
        for (std::uint64_t nRow = nRowsBefore + 1;
             nRow < RowCount() && announced.size() < CLogViewAccessible::kMaxAnnounced; ++nRow)
            CLogViewAccessible::AddAnnounced(announced, LineText(RowToLine(nRow)));
        CLogViewAccessible::AnnounceInsert(
            this, HeaderText().size() + m_pFilter->UnitsBefore(nRowsBefore), announced);
    }
    m_bBarsStale = true;
    ScheduleFrame();
}

void CLogView::SaveLogAs() { m_pSave->SaveLogAs(SaveScript()); }

bool CLogView::SaveTo(const QString& path) { return m_pSave->SaveTo(path); }

bool CLogView::IsSaving() const { return m_pSave->IsSaving(); }

}  // namespace Platform
