#pragma once

#include <QElapsedTimer>
#include <QIcon>
#include <QTimer>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "CDialog.h"
#include "CHandOff.h"
#include "CNoxPostMessageToUIThread.h"
#include "CServer.h"
#include "CString.h"
#include "CTimedLines.h"
#include "HandOffStartup.h"

// The main dialog: the window around the server. It owns the server and the hand-off; its
// buttons become operations posted to the server's worker, and the log lines come back
// through the UI-thread queue that is the dialog's second base. Closing the dialog stops the
// server and joins the worker before the dialog goes.
class CVelmoraDlg : public Platform::CDialog,
                    public Nox::CNoxPostMessageToUIThread<Platform::CTimedLines> {
    Q_OBJECT

public:
    using WorkerErrorHandler = CServer::WorkerErrorHandler;

    // modulePath is the program's own path, read at start-up; received what a handing-over
    // process passed to this one. Without a handler, worker errors become log lines.
    explicit CVelmoraDlg(std::string modulePath = std::string(),
                         Platform::CHandOffStartup received = Platform::CHandOffStartup(),
                         WorkerErrorHandler onWorkerError = WorkerErrorHandler());
    ~CVelmoraDlg() override;

    // Appends text as a new last line of the log box. UI thread.
    void AppendLog(const CString& text);

    // Worker thread: hands every connection to a new process (the socket-duplication button).
    static void HandOffConnections(CVelmoraDlg* pThis);
    // Worker thread: adopts the connections a handing-over process passed (start-up).
    static void AdoptSockets(CVelmoraDlg* pThis, const std::vector<CString>& args);
    // Worker thread: ends a hand-off under way, then closes the server and releases its guard.
    static void StopServer(CVelmoraDlg* pThis);

    // The receiver of the log-line queue: appends the batch to the log box. UI thread.
    void OnMessages(std::list<Platform::CTimedLines>& batch) override;

protected:
    bool OnInitDialog() override;
    // OK, Enter, Escape and the close box ask first while connections would close.
    void OnOK() override;
    void OnCancel() override;
    void OnSysCommand(unsigned nID) override;
    void OnDestroy() override;

    void OnBnClickedPortListen();
    void OnBnClickedSocketDuplicate();

    CServer m_server;
    CHandOff m_handOff;

private:
    // After an upgrade's commit: ends the program as OK does, open dialogs first.
    void LeaveAfterUpgrade();
    // True when nothing would be lost, or the operator has said to go on all the same.
    bool MayEnd();
    // The status line under the log box: what listens, what is connected, how many lines
    // came and how fast, and which process this is.
    void UpdateStatus();

    QIcon m_hIcon;
    QTimer m_statusTimer;
    // The lines counted at the last status update, and when.
    std::uint64_t m_nStatusLines = 0;
    QElapsedTimer m_sinceStatus;
};
