#pragma once

#include <QAccessibleWidget>
#include <cstdint>
#include <string_view>

namespace Platform {

class CLogFilter;
class CLogView;

// What screen readers and AT-SPI clients see of the log view: a multi-line, read-only text
// with its characters, caret and selection. Offsets count UTF-16 units of the box's text
// (row 0, then LF and each kept line). Clients count in 32-bit ints, so once the text
// outgrows them only the most recent lines are exposed, and the description says so.
class CLogViewAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    // Registers the factory once per process; CLogView's constructor calls it.
    static void Install();

    // An append is announced in one insert event per batch. IsListening, before the store
    // takes the lines, tells whether assistive technology listens and the length of the text
    // it knows; AddAnnounced adds a line to the event's text, cut so that a flood or a huge
    // line never sends megabytes over the accessibility bus; AnnounceInsert sends it.
    static bool IsListening(QObject* pView, std::uint64_t* pUnitsBefore) {
        if (!QAccessible::isActive()) return false;
        QAccessibleInterface* pAccessible = QAccessible::queryAccessibleInterface(pView);
        if (pAccessible == nullptr) return false;
        *pUnitsBefore = pAccessible->textInterface()->characterCount();
        return true;
    }
    static void AddAnnounced(QString& text, std::string_view line);
    static void AnnounceInsert(CLogView* pView, std::uint64_t nUnitsBefore, const QString& text);

    // After the box was emptied: its text, taken before and cut at kMaxAnnounced (empty when
    // nobody listened), is gone.
    static void AnnounceClear(CLogView* pView, const QString& removed);
    // After a filter changed which lines are shown: the text before and after, each cut at
    // kMaxAnnounced.
    static void AnnounceReplace(CLogView* pView, const QString& removed, const QString& inserted);
    // Most characters an insert or remove event carries.
    static constexpr int kMaxAnnounced = 64 * 1024;

    explicit CLogViewAccessible(CLogView* pView);

    QAccessible::State state() const override;
    QString text(QAccessible::Text type) const override;
    void* interface_cast(QAccessible::InterfaceType type) override;

    // QAccessibleTextInterface
    void selection(int selectionIndex, int* startOffset, int* endOffset) const override;
    int selectionCount() const override;
    void addSelection(int startOffset, int endOffset) override;
    void removeSelection(int selectionIndex) override;
    void setSelection(int selectionIndex, int startOffset, int endOffset) override;
    int cursorPosition() const override;
    void setCursorPosition(int position) override;
    QString text(int startOffset, int endOffset) const override;
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                             int* startOffset, int* endOffset) const override;
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                            int* startOffset, int* endOffset) const override;
    QString textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType, int* startOffset,
                         int* endOffset) const override;
    int characterCount() const override;
    QRect characterRect(int offset) const override;
    int offsetAtPoint(const QPoint& point) const override;
    void scrollToSubstring(int startIndex, int endIndex) override;
    QString attributes(int offset, int* startOffset, int* endOffset) const override;

    // Most characters one text() call returns.
    static constexpr int kMaxTextUnits = 32 << 20;

private:
    CLogView* View() const;
    // Moves the exposed part forward when the text has outgrown an int; true when only a
    // recent part is exposed.
    bool Windowed() const;
    std::uint64_t Offset(std::uint64_t nLine, std::uint64_t nColumn) const;
    void Position(int offset, std::uint64_t* pLine, std::uint64_t* pColumn) const;
    // Up to nNeed units of the store's kept text from unit nUnit on, lines joined by LF.
    QString StoreText(std::uint64_t nUnit, qsizetype nNeed) const;
    // Under a filter: the position of unit nUnit of the text after row 0, and up to nNeed
    // units from there.
    void FilteredPosition(const CLogFilter& filter, std::uint64_t nUnit, std::uint64_t* pLine,
                          std::uint64_t* pColumn) const;
    QString FilteredText(const CLogFilter& filter, std::uint64_t nUnit, qsizetype nNeed) const;
    // The byte of a store line where its UTF-16 unit nUnit is.
    std::uint64_t ColumnAtUnit(std::uint64_t nLine, std::uint64_t nUnit) const;
    // Lines up to this long are read whole; longer ones from the chunk that holds the unit.
    static constexpr std::uint64_t kShortLine = 64 * 1024;
    // The line holding offset, as [start, end) offsets.
    void LineBounds(int offset, int* pStart, int* pEnd) const;

    // Store line from which the text is exposed once windowed, its units before it, and the
    // store's first line when they were taken (a drop moves the counting origin).
    mutable std::uint64_t m_nWindowLine = 0;
    mutable std::uint64_t m_nWindowUnits = 0;
    mutable std::uint64_t m_nWindowFirstLine = 0;
    mutable bool m_bWindowed = false;
};

}  // namespace Platform
