#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "CLogView.h"

namespace Platform {

// Save Log As for the log view: asks for a file, then streams the whole log into it as UTF-8
// with LF line ends, each line preceded by its time while the view shows times, a block per
// slice of the event loop, so the window never freezes however large the log; a long save
// shows a progress window that can cancel it. Lines that come while it saves are not waited
// for. Failures are reported in a message box. UI thread only.
class CLogSave : public QObject {
    Q_OBJECT

public:
    explicit CLogSave(CLogView& view);
    ~CLogSave() override;

    // Asks for a file through script when it is set, else through the file dialog, and
    // starts saving into it; says so when the file cannot be opened.
    void SaveLogAs(const CLogView::SaveFileNameScript& script);
    // Starts saving to path; false if the file cannot be opened or a save runs.
    bool SaveTo(const QString& path);
    // Whether a save runs.
    bool IsSaving() const { return m_pSave != nullptr; }
    // Ends a running save as cancelled, its file removed.
    void Cancel();
    // The filter changed which lines are shown: a save of the shown lines ends as failed,
    // its file removed.
    void OnRowsReset();

signals:
    // A save ended; error is empty on success.
    void finished(const QString& error);

private:
    struct CSave;

    void SaveSlice();
    // The time prefix of store line nLine; made again only when the time changes.
    const std::string& StampOf(CSave& save, std::uint64_t nLine) const;
    // A block read from nNext on, each line that starts in it stamped with its time.
    std::string_view Stamped(CSave& save, std::string_view block) const;
    void EndSave(const QString& error);
    void Warn(const QString& text);

    CLogView& m_view;
    std::unique_ptr<CSave> m_pSave;
};

}  // namespace Platform
