#include "CLogFilter.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <algorithm>
#include <cstring>

#include "CLogBar.h"
#include "CLogMatcher.h"
#include "CLogView.h"
#include "Utf8.h"

namespace Platform {

namespace {

// Bytes the scan reads per step.
constexpr std::size_t kScanBlock = 1u << 20;
// Lines up to this long are counted from their text; longer ones from the store's chunk
// counts, which read at most a chunk whatever the line's length.
constexpr std::uint64_t kShortLine = 64 * 1024;
// A read buffer larger than this is let go once the scan has caught up.
constexpr std::size_t kKeptBlock = 64 * 1024;

}  // namespace

CLogFilter::CLogFilter(CLogView& view) : m_view(view) {
    m_pBar = new CLogBar(&m_view, tr("Filter"), QStringLiteral("filterBar"),
                         QStringLiteral("logFilterEdit"), QStringLiteral("logFilterCount"));
    m_pEdit = m_pBar->Edit();
    m_pCount = m_pBar->Label();
    connect(m_pEdit, &QLineEdit::returnPressed, this, [this] { Apply(m_pEdit->text()); });
    connect(m_pEdit, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (text.isEmpty()) End();
    });
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &CLogFilter::ScanSlice);
}

CLogFilter::~CLogFilter() = default;

void CLogFilter::Place(const QRect& findBar) {
    m_pBar->Place(findBar.isEmpty() ? m_view.viewport()->geometry().right() : findBar.left() - 1);
}

void CLogFilter::Show() { m_pBar->Open(); }

bool CLogFilter::Hide() {
    if (!m_pBar->isVisible()) return false;
    End();
    return m_pBar->Close();
}

bool CLogFilter::HasFocus() const { return m_pEdit->hasFocus(); }

void CLogFilter::Apply(const QString& text) {
    if (text.isEmpty()) {
        End();
        return;
    }
    emit rowsAboutToReset();
    m_pMatcher = std::make_unique<CLogMatcher>(text.toStdString());
    Reset();
    emit rowsReset();
    m_timer.start(0);
}

void CLogFilter::End() {
    if (!IsActive()) return;
    emit rowsAboutToReset();
    m_timer.stop();
    m_pMatcher.reset();
    m_index.Clear();
    m_bScanning = false;
    m_pCount->clear();
    emit rowsReset();
}

void CLogFilter::Restart() {
    if (!IsActive()) return;
    emit rowsAboutToReset();
    Reset();
    emit rowsReset();
    m_timer.start(0);
}

void CLogFilter::Reset() {
    m_timer.stop();
    m_index.Clear();
    m_nPos = m_view.Store().FirstByte();
    m_nLine = m_view.Store().FirstLine();
    m_bInLine = false;
    m_bScanning = true;
    UpdateCount();
}

void CLogFilter::OnAppended() {
    if (!IsActive()) return;
    // A running scan reaches the new lines in its own slices.
    if (m_timer.isActive())
        UpdateCount();
    else
        ScanSlice();
}

void CLogFilter::ScanSlice() {
    QElapsedTimer elapsed;
    elapsed.start();
    const std::uint64_t nRowsBefore = m_index.Count();
    bool bMore = ScanBlock();
    while (bMore && elapsed.elapsed() < CLogView::kSliceMilliseconds) bMore = ScanBlock();
    if (m_index.Count() != nRowsBefore) emit rowsAdded(nRowsBefore);
    if (bMore) {
        UpdateCount();
        m_timer.start(0);
        return;
    }
    const bool bFinished = m_bScanning;
    m_bScanning = false;
    // Lines that arrive later are read in their own small batches.
    if (m_block.capacity() > kKeptBlock) m_block = std::vector<char>();
    UpdateCount();
    if (bFinished) emit scanFinished();
}

bool CLogFilter::ScanBlock() {
    const CLogStore& store = m_view.Store();
    const std::uint64_t nEnd = store.EndByte();
    // Lines dropped under the scan restart it (CLogView calls Restart).
    if (m_nPos >= nEnd || m_nPos < store.FirstByte()) return false;
    if (m_bInLine) {
        ScanLongLine();
        return true;
    }
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kScanBlock, nEnd - m_nPos));
    m_block.resize(n);
    if (!store.Read(m_nPos, m_block.data(), n)) return false;
    const char* const pBegin = m_block.data();
    // Whole lines only: a match never spans lines, so blocks need no overlap.
    const void* pLastBreak = memrchr(pBegin, '\n', n);
    if (pLastBreak == nullptr) {
        m_bInLine = true;
        ScanLongLine();
        return true;
    }
    const char* const pEnd = static_cast<const char*>(pLastBreak) + 1;
    const char* p = pBegin;
    std::uint64_t nLine = m_nLine;
    for (const char* pHit = m_pMatcher->Forward(p, pEnd); pHit != pEnd;
         pHit = m_pMatcher->Forward(p, pEnd)) {
        nLine += static_cast<std::uint64_t>(std::count(p, pHit, '\n'));
        const void* pBreak = memrchr(p, '\n', static_cast<std::size_t>(pHit - p));
        const char* pLineStart = pBreak != nullptr ? static_cast<const char*>(pBreak) + 1 : p;
        const auto* pLineEnd = static_cast<const char*>(
            std::memchr(pHit, '\n', static_cast<std::size_t>(pEnd - pHit)));
        m_index.Add(nLine, 1 + Utf8::Utf16Units(pLineStart,
                                                static_cast<std::size_t>(pLineEnd - pLineStart)));
        ++nLine;
        p = pLineEnd + 1;
    }
    m_nLine = nLine + static_cast<std::uint64_t>(std::count(p, pEnd, '\n'));
    m_nPos += static_cast<std::uint64_t>(pEnd - pBegin);
    return true;
}

void CLogFilter::ScanLongLine() {
    const CLogStore& store = m_view.Store();
    const std::uint64_t nBreak = store.LineStart(m_nLine) + store.LineLength(m_nLine);
    const std::size_t nNeedle = m_pMatcher->Size();
    const std::uint64_t nBlockEnd = std::min(nBreak, m_nPos + kScanBlock + nNeedle - 1);
    bool bFound = false;
    if (nBlockEnd > m_nPos) {
        m_block.resize(static_cast<std::size_t>(nBlockEnd - m_nPos));
        const char* const pBegin = m_block.data();
        const char* const pEnd = pBegin + m_block.size();
        bFound = store.Read(m_nPos, m_block.data(), m_block.size()) &&
                 m_pMatcher->Forward(pBegin, pEnd) != pEnd;
    }
    if (!bFound && nBlockEnd < nBreak) {
        m_nPos = nBlockEnd - (nNeedle - 1);
        return;
    }
    if (bFound) m_index.Add(m_nLine, LineUnits(m_nLine));
    m_nPos = nBreak + 1;
    ++m_nLine;
    m_bInLine = false;
}

std::uint64_t CLogFilter::LineUnits(std::uint64_t nLine) const {
    return 1 + UnitsInLine(nLine, m_view.Store().LineLength(nLine));
}

std::uint64_t CLogFilter::UnitsInLine(std::uint64_t nLine, std::uint64_t nBytes) const {
    const CLogStore& store = m_view.Store();
    if (nBytes <= kShortLine) {
        const std::string text = store.ReadLine(nLine, 0, static_cast<std::size_t>(nBytes));
        return Utf8::Utf16Units(text.data(), text.size());
    }
    return store.CharsAtByte(store.LineStart(nLine) + nBytes) - store.CharsBefore(nLine);
}

std::uint64_t CLogFilter::UnitsBefore(std::uint64_t i) const {
    return m_index.UnitsBefore(i, [this](std::uint64_t nLine) { return LineUnits(nLine); });
}

std::uint64_t CLogFilter::MatchAtUnit(std::uint64_t nUnit, std::uint64_t* pBefore) const {
    return m_index.MatchAtUnit(
        nUnit, [this](std::uint64_t nLine) { return LineUnits(nLine); }, pBefore);
}

QString CLogFilter::CountText() const {
    const CLogStore& store = m_view.Store();
    const QString count =
        tr("%1 of %2 lines").arg(m_index.Count()).arg(store.LineCount() - store.FirstLine());
    if (!m_bScanning) return count;
    const std::uint64_t nTotal = std::max<std::uint64_t>(1, store.EndByte() - store.FirstByte());
    const std::uint64_t nDone = m_nPos > store.FirstByte() ? m_nPos - store.FirstByte() : 0;
    return tr("%1, filtering %2%")
        .arg(count)
        .arg(std::min<std::uint64_t>(99, nDone * 100 / nTotal));
}

void CLogFilter::UpdateCount() { m_pCount->setText(CountText()); }

}  // namespace Platform
