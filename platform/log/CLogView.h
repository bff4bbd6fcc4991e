#pragma once

#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QPoint>
#include <QString>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>

#include "CContextMenuSource.h"
#include "CLogStore.h"
#include "CTimedLines.h"

class QMenu;

namespace Platform {

class CLogFilter;
class CLogFind;
class CLogSave;

// The log box: a read-only view made for appending, over a CLogStore that keeps every line.
//
// It paints only the rows in sight, and of a long line only the slice in sight, so a line of
// any length costs the same as a short one. Row 0 is the box's empty first line, or, once the
// disk refused older lines, the notice that says how many went and why; row r > 0 is the
// store's line FirstLine() + r - 1. The selection is a pair of (line, byte column) positions
// kept apart from the text, so appends never disturb it. The view follows the end while it
// is at the end; scrolling away or a mouse press holds it still, and End or scrolling back
// to the bottom resumes following. Appends bring the scroll bars and the rows up to date at
// most once a frame. Each line's arrival time is shown in a gutter left of the text, unless
// hidden; Copy and Save Log As then put it before each line too, while accessibility and
// the selection's columns know the text alone. Control pictures are drawn as boxed
// abbreviations (CControlPictures);
// the text itself keeps them. Find and Save Log As work in slices of the event loop, so
// neither freezes the window however large the log. While a filter is on (CLogFilter), row
// r > 0 is the store line of its match r - 1 instead, and the keys, the selection, Copy,
// Find, Save Log As and the accessible text pass over the lines it hides. UI thread only.
class CLogView : public QAbstractScrollArea, public CContextMenuSource {
    Q_OBJECT

public:
    // A position in the text: line 0 is row 0, line n > 0 the store's line n - 1; the
    // column counts UTF-8 bytes and always sits on a character boundary.
    struct CPosition {
        std::uint64_t nLine = 0;
        std::uint64_t nColumn = 0;
        bool operator==(const CPosition& other) const {
            return nLine == other.nLine && nColumn == other.nColumn;
        }
        bool operator!=(const CPosition& other) const { return !(*this == other); }
        bool operator<(const CPosition& other) const {
            return nLine != other.nLine ? nLine < other.nLine : nColumn < other.nColumn;
        }
    };

    // Copy puts at most this much text on the clipboard and says so when it cuts.
    static constexpr std::size_t kMaxCopyBytes = 16u << 20;
    // Time a slice of Find or Save Log As may take before it yields to the event loop.
    static constexpr qint64 kSliceMilliseconds = 15;
    // Bounds of the zoomed font size, in points.
    static constexpr int kMinPoints = 6;
    static constexpr int kMaxPoints = 48;

    // Test seam: while set, Save Log As asks this instead of the file dialog; an empty
    // answer cancels.
    using SaveFileNameScript = std::function<QString(QWidget* pParent)>;
    // Sets the seam; an empty script removes it.
    static void SetSaveFileNameScript(SaveFileNameScript script);

    // A view over an empty store with the default limits, or with limits of the caller's.
    explicit CLogView(QWidget* pParent = nullptr);
    explicit CLogView(const CLogStore::CLimits& limits, QWidget* pParent = nullptr);
    ~CLogView() override;

    // Appends each block's text, oldest first, as lines (LF, CR or CR LF between them) that
    // arrived at the block's time, in one change: one scroll-bar update, one repaint request,
    // one accessibility event, however many lines. A text is taken, not copied, where it is
    // long enough for that to pay; the list keeps its nodes.
    void AppendLines(std::list<CTimedLines>&& blocks);
    // Appends one line, arrived now.
    void AppendLine(std::string_view line);
    // Empties the box and its store (Clear Log): row 0 alone, lines counted afresh; a
    // running search or save ends first.
    void Clear();

    // The store that keeps the lines.
    const CLogStore& Store() const { return m_store; }

    // Lines of the box as the operator sees them: row 0 and every kept line.
    std::uint64_t LineCount() const { return m_store.LineCount() + 1; }
    // The first line still kept after row 0.
    std::uint64_t FirstKeptLine() const { return m_store.FirstLine() + 1; }
    // Rows of the box: row 0 and every line shown (all kept lines unless a filter is on).
    std::uint64_t RowCount() const;
    // The line a row shows, and the row of a line (a hidden line: the next row shown, or the
    // last row).
    std::uint64_t RowToLine(std::uint64_t nRow) const;
    std::uint64_t LineToRow(std::uint64_t nLine) const;
    // Whether a kept line is shown.
    bool IsLineShown(std::uint64_t nLine) const;
    // Up to nMax bytes of a line from byte nFrom on, as UTF-8.
    std::string LineText(std::uint64_t nLine, std::uint64_t nFrom = 0,
                         std::size_t nMax = SIZE_MAX) const;
    // Bytes of a line, without its line break.
    std::uint64_t LineLength(std::uint64_t nLine) const;
    // Row 0's text: empty, or the notice about dropped lines.
    QString HeaderText() const;

    // The whole text, lines joined by LF, as UTF-16; for small logs (tests, accessibility).
    QString Text(std::uint64_t nMaxUnits = SIZE_MAX) const;

    // The selection; equal positions mean none. The caret is where it ends.
    CPosition Anchor() const { return m_anchor; }
    CPosition Caret() const { return m_caret; }
    // Whether anything is selected.
    bool HasSelection() const { return m_anchor != m_caret; }
    // Selects from anchor to caret, both moved onto kept text and character boundaries.
    void SetSelection(const CPosition& anchor, const CPosition& caret);
    // Selects the whole text (Ctrl+A).
    void SelectAll();
    // Selects the word at a position, or the one character there that is not of a word
    // (double-click).
    void SelectWord(const CPosition& position);
    // Selects a whole line (triple-click).
    void SelectLine(std::uint64_t nLine);
    // The selected text with LF line ends, cut at nMaxBytes; *pbCut tells whether it was.
    // With bTimes, each line whose start lies inside the selection begins with its arrival
    // time (TimeText::Stamp); a line the selection starts inside of, and row 0, have none.
    std::string SelectedText(std::size_t nMaxBytes, bool* pbCut = nullptr,
                             bool bTimes = false) const;
    // Puts the selection on the clipboard, at most kMaxCopyBytes of it (Ctrl+C).
    void Copy();

    // Whether the time gutter shows, and so whether Copy and Save Log As write the times.
    bool ShowsTimes() const { return m_bShowTimes; }
    // Shows or hides the time gutter (Show Times).
    void SetShowTimes(bool bShow);

    // Whether new lines scroll the view.
    bool IsFollowing() const { return m_bFollow; }
    // Goes to the end and follows it again; the selection stays.
    void FollowEnd();
    // The first row in sight and how many fit.
    std::uint64_t TopRow() const;
    // How many rows the viewport holds, at least one.
    int VisibleRows() const;
    // Rows painted by the last paint, for checks that the view paints only what it shows.
    int PaintedRows() const { return m_nPaintedRows; }
    // Scrolls so that the line is in sight (following stops unless it is the last).
    void EnsureVisible(std::uint64_t nLine);

    // The byte of the store's stream a position stands for; row 0 and released lines stand
    // for the first kept byte.
    std::uint64_t StreamOffset(const CPosition& position) const;
    // The position of a kept byte of the store's stream.
    CPosition StreamPosition(std::uint64_t nOffset) const;
    // nOffset when its line is shown, else the first byte of the next shown line (EndByte()
    // when none); and for a search backwards, the end of the last shown line before it
    // (FirstByte() when none).
    std::uint64_t ShownFrom(std::uint64_t nOffset) const;
    std::uint64_t ShownUntil(std::uint64_t nOffset) const;
    // Selects [start, end) of one line and scrolls it into sight, across too.
    void ShowRange(const CPosition& start, const CPosition& end);

    // Opens the find field (Ctrl+F); see CLogFind.
    void ShowFind();
    // Starts a search from the selection or the caret; the match becomes the selection.
    void Find(const QString& text, bool bBackward);
    // Whether a search runs.
    bool IsSearching() const;
    // Opens the filter field (Ctrl+Shift+F); see CLogFilter.
    void ShowFilter();
    // Shows only the lines holding text (all again for an empty text); the scan goes on in
    // slices of the event loop.
    void Filter(const QString& text);
    // The filter while one is on, else null.
    const CLogFilter* ActiveFilter() const;
    // Asks for a file (see the seam) and streams the whole log into it; see CLogSave.
    void SaveLogAs();
    // Starts saving to path; false if the file cannot be opened.
    bool SaveTo(const QString& path);
    // Whether a save runs.
    bool IsSaving() const;

    // The context menu's own items: Copy, Select All, Find..., Filter..., Save Log As...,
    // Clear Log, Show Times
    QMenu* CreateContextMenu() override;

    // Makes the text nSteps points larger, smaller when negative, within kMinPoints and
    // kMaxPoints (Ctrl+wheel, Ctrl++, Ctrl+-).
    void Zoom(int nSteps);
    // Back to the font the view inherits (Ctrl+0).
    void ResetZoom();

    // The line and column under a point of the viewport.
    CPosition PositionAt(const QPoint& point) const;
    // Where a position is drawn in the viewport (left edge of the character, row's rect).
    QRect PositionRect(const CPosition& position) const;

signals:
    // Lines were appended; nLineCount is LineCount() after them. Once per batch.
    void linesAppended(quint64 nLineCount);
    // A search ended; found tells whether it found the text.
    void searchFinished(bool bFound);
    // A save ended; error is empty on success.
    void saveFinished(const QString& error);
    // The box was emptied.
    void cleared();
    // A filter's scan reached the end of the store.
    void filterFinished();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;
    void scrollContentsBy(int dx, int dy) override;

private:
    // Pixels between the viewport's edges and the text.
    static constexpr int kMargin = 3;
    // Where the text begins: past the margin, and the time gutter while it shows.
    int TextLeft() const;
    void UpdateScrollBars();
    void SetTopRow(std::uint64_t nRow);
    std::uint64_t LastTopRow() const;
    CPosition EndPosition() const;
    CPosition Clamp(CPosition position) const;
    CPosition Step(const CPosition& position, int nDirection) const;
    void MoveCaret(const CPosition& caret, bool bExtend);
    // The keys: with Shift they move the caret and extend the selection (a character, a row,
    // a page, to the line's or with Control to the text's edge); without it they scroll.
    void KeyAcross(int nDirection, bool bShift);
    void KeyUpDown(int nKey, bool bShift);
    void KeyToEdge(bool bEnd, bool bShift, bool bControl);
    // Ctrl++, Ctrl+=, Ctrl+- and Ctrl+0; false for any other key.
    bool KeyZoom(const QKeyEvent* event);
    // Shift+F10 and the Menu key: the context menu at the caret, or at the top left.
    void ShowContextMenuFromKey();
    // That point, in the viewport.
    QPoint KeyMenuPoint() const;
    // After a resize or a zoom: scroll bars, the end if followed, the find field, a repaint.
    void Relayout();
    // The selection as clipboard text, at most kMaxCopyBytes of it.
    QString ClipboardText(bool* pbCut) const;
    // Offers the selection as the primary selection, where the system has one.
    void OfferSelection();
    void OnScrollValueChanged(int value);
    void ScheduleSpill();
    void SpillSome();
    // Appends mark the scroll bars stale; at most once a frame they are brought up to date
    // and the rows repainted. Scroll bars set at every append would repaint at every append.
    void ScheduleFrame();
    void EndFrame();
    // Brings stale scroll bars up to date; before anything reads or moves them.
    void SyncScrollBars();
    // What every append ends with: one announcement, scroll bars, following, one repaint.
    void EndAppend(bool bAnnounce, std::uint64_t nUnitsBefore, const QString& announced);
    void Notify(const QString& text);
    // The find and filter bars, side by side at the viewport's top right.
    void PlaceBars();
    // Around a change of the filter: the top line and the accessible text before it, then
    // the rows again with that line on top (the end while following).
    void OnFilterAboutToReset();
    void OnFilterReset();
    // Matches after the first nRowsBefore appeared: announced, and a frame is due.
    void OnFilterRowsAdded(quint64 nRowsBefore);

    CLogStore m_store;
    CPosition m_anchor;
    CPosition m_caret;
    bool m_bFollow = true;
    bool m_bShowTimes = true;
    // Set while the view moves its own scroll bar, so that is not taken for the operator's.
    bool m_bScrolling = false;
    bool m_bSpillScheduled = false;
    QElapsedTimer m_sinceFrame;  // since the last frame after an append
    bool m_bFramePending = false;
    bool m_bBarsStale = false;
    // The top row of the last paint: where a mouse press holds the view.
    std::uint64_t m_nPaintedTop = 0;
    // Since the last double-click, for the triple-click.
    QElapsedTimer m_sinceDoubleClick;
    QPoint m_doubleClickPoint;
    // Wheel angle not yet turned into zoom steps.
    int m_nWheelZoom = 0;
    // Rows per step of the vertical scroll bar: 1 until the log outgrows an int.
    std::uint64_t m_nRowsPerStep = 1;
    int m_nPaintedRows = 0;
    // Taken just before the filter changes.
    std::uint64_t m_nResetTopLine = 0;
    QString m_resetRemoved;

    // Destroyed before the store they read.
    std::unique_ptr<CLogFind> m_pFind;
    std::unique_ptr<CLogFilter> m_pFilter;
    std::unique_ptr<CLogSave> m_pSave;
};

}  // namespace Platform
