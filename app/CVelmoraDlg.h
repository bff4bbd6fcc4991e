#pragma once

#include <QIcon>
#include <atomic>
#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/smart_ptr/owner_less.hpp>
#include <boost/thread/thread.hpp>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "CAcceptor.h"
#include "CDialog.h"
#include "CNoxPostMessageToUIThread.h"
#include "CSocket.h"
#include "CString.h"
#include "HandOffStartup.h"

// The main dialog. It owns the program's only I/O service and the worker thread that runs
// it: the UI thread never touches the network, it binds each operation and posts it to the
// service. Log lines come back through the UI-thread queue that is the dialog's second base.
// Closing the dialog stops the server and joins the worker before the dialog goes.
class CVelmoraDlg : public Platform::CDialog, public Nox::CNoxPostMessageToUIThread<CString> {
    Q_OBJECT

public:
    // One accepted or adopted connection; every message becomes a log line.
    class CSocketApp : public CNoxSocket::CSocket {
    public:
        CSocketApp(boost::asio::io_service& ioService, CVelmoraDlg* pOwner);

        // Takes the peer's endpoint text once, at accept or adoption, for every later line.
        void TakeEndpointText();
        const CString& EndpointText() const { return m_endpointText; }

        void OnReceive(const boost::shared_ptr<std::vector<char>>& message) override;
        void OnError(const boost::system::error_code& error) override;

    private:
        CVelmoraDlg* m_pOwner;  // used only to post log lines
        CString m_endpointText;
    };

    // The server's acceptor: registers every connection, logs it and starts receiving. A
    // failed accept never ends accepting: it is logged once per episode and retried.
    class CAcceptorApp : public CNoxSocket::CAcceptor {
    public:
        // Every connection accepted or adopted since start-up, closed ones included; the
        // order is by ownership record and carries no meaning.
        using CRegistry = std::set<boost::shared_ptr<CNoxSocket::CSocket>,
                                   boost::owner_less<boost::shared_ptr<CNoxSocket::CSocket>>>;

        CAcceptorApp(CVelmoraDlg* pOwner, boost::asio::io_service& ioService);
        ~CAcceptorApp() override;

        std::unique_ptr<CNoxSocket::CSocket> CreateSocket(
            boost::asio::io_service& ioService) override;
        void OnAccept(boost::shared_ptr<CNoxSocket::CSocket> spSocket) override;
        // Retries at once after a failure of the one pending connection, after a growing
        // back-off when descriptors or memory ran out (the connection waits in the backlog
        // meanwhile); stops only once the listening socket has been closed.
        void OnAcceptError(boost::shared_ptr<CNoxSocket::CSocket> spSocket,
                           const boost::system::error_code& error) override;

        // Closes the listening socket and drops a retry still waiting. Worker thread.
        void Close(boost::system::error_code& error);

        CRegistry m_registry;

    private:
        static void OnRetryTimer(CAcceptorApp* pThis, const boost::system::error_code& error);

        CVelmoraDlg* m_pOwner;  // used only to post log lines
        boost::asio::steady_timer m_retryTimer;
        std::chrono::milliseconds m_retryDelay;  // the next back-off
        bool m_bAcceptFailing = false;           // an episode's line has been posted
    };

    // Receives the text of an exception that escaped an operation on the worker; called on
    // the worker thread.
    using WorkerErrorHandler = std::function<void(const CString&)>;

    // modulePath is the program's own path, read at start-up; handOff what a handing-over
    // process passed: the bytes it had received and not yet logged on each connection.
    // Without a handler, worker errors become log lines.
    explicit CVelmoraDlg(std::string modulePath = std::string(),
                         Platform::CHandOffStartup handOff = Platform::CHandOffStartup(),
                         WorkerErrorHandler onWorkerError = WorkerErrorHandler());
    ~CVelmoraDlg() override;

    // Appends text as a new last line of the log box. UI thread.
    void AppendLog(const CString& text);

    // Appends each text as a new line, oldest first, with the same result as AppendLog per
    // text but as one change to the box: a batch costs a copy per line into the log's store.
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

    // Listens on the port and logs the address bound; a failure becomes a log line naming
    // the step. Worker thread.
    static void Listen(CVelmoraDlg* pThis, unsigned short port);

    // "%s:%d": the peer's dotted address and port.
    static CString GetEndpointText(const boost::asio::ip::tcp::endpoint& endpoint);

    // Hands every registered connection to a new process of the program. Worker thread.
    static void HandOffConnections(CVelmoraDlg* pThis);
    // Gives a duplicate of the connection's socket for the child and closes the own one;
    // -1 for a connection that is closed or cannot be duplicated (that one stays here).
    static int DuplicateSocket(CVelmoraDlg* pThis,
                               const boost::shared_ptr<CNoxSocket::CSocket>& spSocket);
    // Adopts the connections named by args[1..], resuming each from its handed-over state.
    static void AdoptSockets(CVelmoraDlg* pThis, const std::vector<CString>& args);

    // Queues a log line for the log box. Any thread.
    void Post(const CString& line);

    // The receiver of the log-line queue: appends the batch to the log box. UI thread.
    void OnMessages(std::list<CString>& batch) override;

protected:
    bool OnInitDialog() override;
    void OnSysCommand(unsigned nID) override;
    void OnDestroy() override;

    void OnBnClickedPortListen();
    void OnBnClickedSocketDuplicate();

    // The closing steps of StopServer, on the worker: the listening socket, every connection
    // (so the join never waits on a client) and the watches on started copies. A failing
    // step is reported like any other worker error.
    virtual void CloseServer();

private:
    // Back-pressure, on the worker: a connection whose line finds the log box this far behind
    // stops reading, so TCP holds the clients back; reading resumes once the box has caught
    // up to the low-water mark. No message is dropped and neither thread waits for the other.
    static constexpr std::size_t kLogHighWater = 65536;
    static constexpr std::size_t kLogLowWater = 16384;
    void PauseReading(CSocketApp* pSocket);
    static void ResumeReading(CVelmoraDlg* pThis);

    // Reaps a started copy once its pidfd turns readable. Worker thread.
    void WatchChild(int pidfd);
    static void OnChildEnded(
        CVelmoraDlg* pThis, const boost::shared_ptr<boost::asio::posix::stream_descriptor>& spWatch,
        const boost::system::error_code& error);

    // Copied into the worker thread when it starts.
    WorkerErrorHandler m_onWorkerError;
    const std::string m_modulePath;
    // What a handing-over process passed beside the command line; AdoptSockets takes it.
    Platform::CHandOffStartup m_handOff;

    boost::thread m_thread;
    boost::asio::io_service m_ioService;
    // Keeps the worker's run loop from returning while idle; null until OnInitDialog and
    // again once StopServer has run.
    std::unique_ptr<boost::asio::io_service::work> m_work;
    CAcceptorApp m_acceptor;
    // Appends delivered lines for a bounded time, then yields to the event loop. UI thread.
    void AppendBacklog();
    static constexpr qint64 kAppendMillisecondsPerTurn = 8;
    static constexpr std::size_t kAppendSlice = 2048;
    // Lines delivered and not yet appended, oldest first. UI thread.
    std::list<CString> m_logBacklog;
    bool m_bAppendScheduled = false;

    // Lines posted and not yet appended to the log box.
    std::atomic<std::size_t> m_nQueuedLines{0};
    // Set while connections are paused; whoever clears it posts ResumeReading.
    std::atomic<bool> m_bReadingPaused{false};
    // Connections paused by back-pressure; the registry keeps them alive. Worker thread.
    std::vector<CSocketApp*> m_pausedSockets;
    // Pidfds of started copies not yet reaped. Worker thread.
    std::set<boost::shared_ptr<boost::asio::posix::stream_descriptor>> m_childWatches;
    QIcon m_hIcon;
};
