#pragma once

#include <QObject>
#include <QRect>
#include <QString>
#include <cstdint>
#include <memory>

class QLabel;
class QLineEdit;

namespace Platform {

class CLogBar;
class CLogView;

// Find for the log view: the find bar over the view's top right corner (field and status) and
// the search itself, which reads the view's store in blocks, a slice of the event loop at a
// time, so the window never freezes however large the log. A search runs from the selection
// towards the end (or the start), wraps round once, and makes the match the selection. One
// search at a time: a new one ends the one before. UI thread only.
class CLogFind : public QObject {
    Q_OBJECT

public:
    // Builds the find bar, hidden, as a child of view, and adds F3 and Shift+F3 to the view.
    explicit CLogFind(CLogView& view);
    ~CLogFind() override;

    // Shows the find bar and puts the focus in its field, the field's text selected.
    void Show();
    // Hides the find bar and gives the focus back to the view; false when it was hidden.
    bool Hide();
    // Whether the find field has the focus, where Enter has searched already.
    bool HasFocus() const;
    // Places the find bar at the top right of the view's viewport.
    void Place();
    // Where the find bar is in the view; empty while it is hidden.
    QRect BarGeometry() const;

    // Starts a search for text; an empty text only clears the status.
    void Find(const QString& text, bool bBackward);
    // Searches the field's text again towards the end (F3) or the start (Shift+F3).
    void FindNext();
    void FindPrevious();
    // Ends a running search as not found, its status cleared.
    void Stop();
    // Whether a search runs.
    bool IsSearching() const { return m_pSearch != nullptr; }

signals:
    // A search ended; bFound tells whether it found the text.
    void finished(bool bFound);

private:
    struct CSearch;
    enum class EStep { eGoOn, eFound, eEnded };

    void SearchSlice();
    // One block of the search in its direction; on eFound, *pFound is the match's byte.
    EStep StepForward(std::uint64_t* pFound);
    EStep StepBackward(std::uint64_t* pFound);
    // At the end of the stream: round once from nRestart, or end where the search began.
    EStep WrapOrEnd(std::uint64_t nRestart);
    void EndFound(std::uint64_t nFound);
    void EndNotFound();

    CLogView& m_view;
    CLogBar* m_pBar = nullptr;
    QLineEdit* m_pEdit = nullptr;
    QLabel* m_pStatus = nullptr;
    std::unique_ptr<CSearch> m_pSearch;
};

}  // namespace Platform
