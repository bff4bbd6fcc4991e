#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <vector>

#include "CLogFilterIndex.h"

class QLabel;
class QLineEdit;
class QRect;

namespace Platform {

class CLogBar;
class CLogMatcher;
class CLogView;

// The filter of the log view: its bar (a field and the count of shown lines), the scan that
// finds the lines holding the text, and the index of those lines (CLogFilterIndex), which
// the view maps its rows through while the filter is on. The scan reads the store in blocks,
// a slice of the event loop at a time, from the first kept line to the end and on into the
// lines that arrive, so matches appear as they are found. Matching is Find's
// (case-sensitive, within a line). UI thread only.
class CLogFilter : public QObject {
    Q_OBJECT

public:
    // Builds the filter bar, hidden, as a child of view.
    explicit CLogFilter(CLogView& view);
    ~CLogFilter() override;

    // Shows the filter bar and puts the focus in its field, the field's text selected.
    void Show();
    // Ends the filter and hides its bar, giving the focus back to the view; false when the
    // bar was hidden.
    bool Hide();
    // Whether the filter field has the focus, where Enter has filtered already.
    bool HasFocus() const;
    // Places the filter bar at the top right of the view's viewport, left of findBar when
    // that is not empty.
    void Place(const QRect& findBar);

    // Shows only the lines holding text; an empty text ends the filter.
    void Apply(const QString& text);
    // Shows every line again.
    void End();
    // Whether a filter is on, and whether its scan has yet to reach the end of the store.
    bool IsActive() const { return m_pMatcher != nullptr; }
    bool IsScanning() const { return m_bScanning; }
    // Scans the lines just appended (the rest of a running scan goes on in its slices).
    void OnAppended();
    // Scans again from the first kept line: after Clear Log, or when lines were dropped.
    void Restart();

    // The index of the shown lines.
    const CLogFilterIndex& Index() const { return m_index; }
    // UTF-16 units a store line adds to the filtered text: its text and the LF before it.
    std::uint64_t LineUnits(std::uint64_t nLine) const;
    // Units of the first nBytes bytes of a store line, read from the nearest chunk start
    // when the line is long.
    std::uint64_t UnitsInLine(std::uint64_t nLine, std::uint64_t nBytes) const;
    // Units of the filtered text before match i, and the match that holds unit nUnit
    // (Count() past the end) with the units before it in *pBefore.
    std::uint64_t UnitsBefore(std::uint64_t i) const;
    std::uint64_t MatchAtUnit(std::uint64_t nUnit, std::uint64_t* pBefore) const;
    // The count's text: "<shown> of <total> lines".
    QString CountText() const;

signals:
    // Matches were added after the first nRowsBefore.
    void rowsAdded(quint64 nRowsBefore);
    // The filter is about to be turned on, given another text, scanned again or ended; and
    // it has been.
    void rowsAboutToReset();
    void rowsReset();
    // The scan reached the end of the store.
    void scanFinished();

private:
    // Scans one block; false once the scan has reached the end of the store.
    bool ScanBlock();
    // A line longer than a block: one block of it, with the text's length less one of
    // overlap, until a match or its end.
    void ScanLongLine();
    void ScanSlice();
    void Reset();
    void UpdateCount();

    CLogView& m_view;
    CLogBar* m_pBar = nullptr;
    QLineEdit* m_pEdit = nullptr;
    QLabel* m_pCount = nullptr;
    std::unique_ptr<CLogMatcher> m_pMatcher;
    CLogFilterIndex m_index;
    // The scan: the next byte, at a line's start unless inside the long line nLine.
    std::uint64_t m_nPos = 0;
    std::uint64_t m_nLine = 0;
    bool m_bInLine = false;
    bool m_bScanning = false;
    std::vector<char> m_block;
    QTimer m_timer;
};

}  // namespace Platform
