#include "CLogFind.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <algorithm>
#include <string>
#include <vector>

#include "CLogBar.h"
#include "CLogMatcher.h"
#include "CLogView.h"

namespace Platform {

namespace {

// Bytes a search reads per step, and the needle's length less one more: blocks overlap by
// that much, so a match across their border is found whole.
constexpr std::size_t kSearchBlock = 1u << 20;

}  // namespace

struct CLogFind::CSearch {
    CSearch(std::string text, bool bBackwardSearch)
        : matcher(std::move(text)), bBackward(bBackwardSearch) {}

    const CLogMatcher matcher;
    const bool bBackward;
    bool bWrapped = false;
    std::uint64_t nStart = 0;  // where the search began
    std::uint64_t nPos = 0;    // the next byte to look at (backward: one past it)
    std::uint64_t nScanned = 0;
    std::uint64_t nTotal = 0;
    std::vector<char> block;
    QTimer timer;
};

CLogFind::CLogFind(CLogView& view) : m_view(view) {
    const auto addFindAgain = [this](QKeySequence key, void (CLogFind::*pSlot)()) {
        auto* pAction = new QAction(&m_view);
        pAction->setShortcuts({key});
        pAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        connect(pAction, &QAction::triggered, this, pSlot);
        m_view.addAction(pAction);
    };
    addFindAgain(QKeySequence(Qt::Key_F3), &CLogFind::FindNext);
    addFindAgain(QKeySequence(Qt::SHIFT | Qt::Key_F3), &CLogFind::FindPrevious);

    m_pBar = new CLogBar(&m_view, tr("Find"), QStringLiteral("findBar"), QStringLiteral("findEdit"),
                         QStringLiteral("findStatus"));
    m_pEdit = m_pBar->Edit();
    m_pStatus = m_pBar->Label();
    connect(m_pEdit, &QLineEdit::returnPressed, this, [this] {
        Find(m_pEdit->text(), QApplication::keyboardModifiers() & Qt::ShiftModifier);
    });
}

CLogFind::~CLogFind() = default;

void CLogFind::Place() { m_pBar->Place(m_view.viewport()->geometry().right()); }

QRect CLogFind::BarGeometry() const { return m_pBar->Area(); }

void CLogFind::Show() {
    Place();
    m_pBar->Open();
}

bool CLogFind::Hide() { return m_pBar->Close(); }

bool CLogFind::HasFocus() const { return m_pEdit->hasFocus(); }

void CLogFind::FindNext() { Find(m_pEdit->text(), false); }

void CLogFind::FindPrevious() { Find(m_pEdit->text(), true); }

void CLogFind::Find(const QString& text, bool bBackward) {
    m_pSearch.reset();
    if (text.isEmpty()) {
        m_pStatus->clear();
        return;
    }
    auto pSearch = std::make_unique<CSearch>(text.toStdString(), bBackward);
    // From the selection, or the caret, towards the end (or the start) and round once.
    const CLogView::CPosition anchor = m_view.Anchor();
    const CLogView::CPosition caret = m_view.Caret();
    pSearch->nStart =
        m_view.StreamOffset(bBackward ? std::min(anchor, caret) : std::max(anchor, caret));
    pSearch->nPos = pSearch->nStart;
    pSearch->nTotal = m_view.Store().EndByte() - m_view.Store().FirstByte();
    pSearch->timer.setSingleShot(true);
    connect(&pSearch->timer, &QTimer::timeout, this, &CLogFind::SearchSlice);
    m_pSearch = std::move(pSearch);
    m_pStatus->setText(tr("Searching..."));
    SearchSlice();
}

void CLogFind::SearchSlice() {
    QElapsedTimer elapsed;
    elapsed.start();
    EStep step = EStep::eGoOn;
    std::uint64_t nFound = 0;
    while (step == EStep::eGoOn && elapsed.elapsed() < CLogView::kSliceMilliseconds)
        step = m_pSearch->bBackward ? StepBackward(&nFound) : StepForward(&nFound);
    if (step == EStep::eFound) {
        EndFound(nFound);
        return;
    }
    if (step == EStep::eEnded) {
        EndNotFound();
        return;
    }
    const CSearch& search = *m_pSearch;
    const std::uint64_t nPercent =
        search.nTotal > 0 ? std::min<std::uint64_t>(99, search.nScanned * 100 / search.nTotal) : 0;
    m_pStatus->setText(tr("Searching... %1%").arg(nPercent));
    m_pSearch->timer.start(0);
}

CLogFind::EStep CLogFind::StepForward(std::uint64_t* pFound) {
    CSearch& search = *m_pSearch;
    const CLogStore& store = m_view.Store();
    const std::size_t nNeedle = search.matcher.Size();
    search.nPos = std::max(search.nPos, store.FirstByte());
    // Once round, as far as a match that starts before the search's start reaches.
    const std::uint64_t nLimit =
        search.bWrapped ? std::min(store.EndByte(), search.nStart + nNeedle - 1) : store.EndByte();
    const std::uint64_t nBlockEnd = std::min(nLimit, search.nPos + kSearchBlock + nNeedle - 1);
    std::uint64_t nNext = nBlockEnd - std::min<std::uint64_t>(nBlockEnd, nNeedle - 1);
    if (nBlockEnd > search.nPos) {
        search.block.resize(static_cast<std::size_t>(nBlockEnd - search.nPos));
        if (store.Read(search.nPos, search.block.data(), search.block.size())) {
            const char* const pBegin = search.block.data();
            const char* const pEnd = pBegin + search.block.size();
            // A match on a line the filter hides goes on from the next line it shows.
            for (const char* p = search.matcher.Forward(pBegin, pEnd); p != pEnd;
                 p = search.matcher.Forward(p, pEnd)) {
                const std::uint64_t nAt = search.nPos + static_cast<std::uint64_t>(p - pBegin);
                const std::uint64_t nShown = m_view.ShownFrom(nAt);
                if (nShown == nAt) {
                    *pFound = nAt;
                    return EStep::eFound;
                }
                if (nShown >= nBlockEnd) {
                    nNext = std::max(nNext, nShown);
                    break;
                }
                p = pBegin + (nShown - search.nPos);
            }
        }
        search.nScanned += nBlockEnd - search.nPos;
    }
    if (nBlockEnd >= nLimit || nNext >= nLimit) return WrapOrEnd(store.FirstByte());
    search.nPos = nNext;
    return EStep::eGoOn;
}

CLogFind::EStep CLogFind::StepBackward(std::uint64_t* pFound) {
    CSearch& search = *m_pSearch;
    const CLogStore& store = m_view.Store();
    const std::size_t nNeedle = search.matcher.Size();
    const std::uint64_t nFirst = store.FirstByte();
    search.nPos = std::min(std::max(search.nPos, nFirst), store.EndByte());
    // Once round, as far down as a match that ends after the search's start begins.
    const std::uint64_t nLow =
        search.bWrapped
            ? std::max(nFirst, search.nStart > nNeedle - 1 ? search.nStart - (nNeedle - 1) : 0)
            : nFirst;
    const std::uint64_t nBlockStart = search.nPos > nLow + kSearchBlock + nNeedle - 1
                                          ? search.nPos - kSearchBlock - (nNeedle - 1)
                                          : nLow;
    std::uint64_t nNext = nBlockStart + (nNeedle - 1);
    if (search.nPos > nBlockStart) {
        std::vector<char>& block = search.block;
        block.resize(static_cast<std::size_t>(search.nPos - nBlockStart));
        if (store.Read(nBlockStart, block.data(), block.size())) {
            const char* const pBegin = block.data();
            const char* pEnd = pBegin + block.size();
            // A match on a line the filter hides goes on from the end of the last line it
            // shows before it.
            for (const char* p = search.matcher.Backward(pBegin, pEnd); p != pEnd;
                 p = search.matcher.Backward(pBegin, pEnd)) {
                const std::uint64_t nAt = nBlockStart + static_cast<std::uint64_t>(p - pBegin);
                const std::uint64_t nShown = m_view.ShownUntil(nAt);
                if (nShown == nAt) {
                    *pFound = nAt;
                    return EStep::eFound;
                }
                if (nShown <= nBlockStart) {
                    nNext = std::min(nNext, nShown);
                    break;
                }
                pEnd = pBegin + (nShown - nBlockStart);
            }
        }
        search.nScanned += search.nPos - nBlockStart;
    }
    if (nBlockStart <= nLow || nNext <= nLow) return WrapOrEnd(store.EndByte());
    search.nPos = nNext;
    return EStep::eGoOn;
}

CLogFind::EStep CLogFind::WrapOrEnd(std::uint64_t nRestart) {
    if (m_pSearch->bWrapped) return EStep::eEnded;
    m_pSearch->bWrapped = true;
    m_pSearch->nPos = nRestart;
    return EStep::eGoOn;
}

void CLogFind::EndFound(std::uint64_t nFound) {
    const CLogView::CPosition start = m_view.StreamPosition(nFound);
    const CLogView::CPosition end{start.nLine, start.nColumn + m_pSearch->matcher.Size()};
    m_pSearch.reset();
    m_pStatus->clear();
    m_view.ShowRange(start, end);
    emit finished(true);
}

void CLogFind::Stop() {
    if (m_pSearch == nullptr) return;
    EndNotFound();
    m_pStatus->clear();
}

void CLogFind::EndNotFound() {
    m_pSearch.reset();
    m_pStatus->setText(tr("Not found"));
    emit finished(false);
}

}  // namespace Platform
