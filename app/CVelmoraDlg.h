#pragma once

#include <QIcon>
#include <boost/asio/io_service.hpp>
#include <boost/thread/thread.hpp>
#include <functional>
#include <list>
#include <memory>

#include "CDialog.h"
#include "CString.h"

// The main dialog. It owns the program's only I/O service and the worker thread that runs
// it: the UI thread never touches the network, it binds each operation and posts it to the
// service. Closing the dialog stops the server and joins the worker before the dialog goes.
class CVelmoraDlg : public Platform::CDialog {
    Q_OBJECT

public:
    // Receives the text of an exception that escaped an operation on the worker; called on
    // the worker thread.
    using WorkerErrorHandler = std::function<void(const CString&)>;

    // Without a handler, worker errors are written to the standard error stream.
    explicit CVelmoraDlg(WorkerErrorHandler onWorkerError = WorkerErrorHandler());
    ~CVelmoraDlg() override;

    // Appends text as a new last line of the log box. UI thread.
    void AppendLog(const CString& text);

    // Appends each text as a new line, oldest first, with the same result as AppendLog per
    // text but as one change to the box: a batch of thousands costs about what one line does.
    void AppendLog(const std::list<CString>& texts);

    // The worker thread's body: runs the service until its run loop returns normally, which
    // happens once the work guard is gone and nothing is pending. An exception that escapes
    // an operation is handed to onWorkerError and the service runs on, so that one failed
    // operation never ends the network service.
    static void RunIoService(boost::asio::io_service& ioService,
                             const WorkerErrorHandler& onWorkerError);

    // On the worker: closes the server, then releases the work guard. The guard is released
    // whatever the closing steps report, so the join in OnDestroy always returns.
    static void StopServer(CVelmoraDlg* pThis);

protected:
    bool OnInitDialog() override;
    void OnSysCommand(unsigned nID) override;
    void OnDestroy() override;

    void OnBnClickedPortListen();
    void OnBnClickedSocketDuplicate();

    // The closing steps of StopServer, on the worker; an exception is reported like any
    // other worker error. Nothing to close yet.
    virtual void CloseServer();

private:
    // Puts text, which starts with a line break, at the end of the log box.
    void InsertAtEndOfLog(const CString& text);

    // Copied into the worker thread when it starts.
    WorkerErrorHandler m_onWorkerError;

    boost::thread m_thread;
    boost::asio::io_service m_ioService;
    // Keeps the worker's run loop from returning while idle; null until OnInitDialog and
    // again once StopServer has run.
    std::unique_ptr<boost::asio::io_service::work> m_work;
    QIcon m_hIcon;
};
