#pragma once

#include <QIcon>
#include <atomic>
#include <chrono>
#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>
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
#include "CDescriptor.h"
#include "CDialog.h"
#include "CHandOffChannel.h"
#include "CNoxPostMessageToUIThread.h"
#include "CSocket.h"
#include "CString.h"
#include "HandOffStartup.h"

// The main dialog. It owns the program's only I/O service and the worker thread that runs
// it: the UI thread never touches the network, it binds each operation and posts it to the
// service. Log lines come back through the UI-thread queue that is the dialog's second base.
// Closing the dialog stops the server and joins the worker before the dialog goes.
class CVelmoraDlg : public Platform::CDialog, public Nox::CNoxPostMessageToUIThread<std::string> {
    Q_OBJECT

public:
    // One accepted or adopted connection; every message becomes a log line.
    class CSocketApp : public CNoxSocket::CSocket {
    public:
        CSocketApp(boost::asio::io_service& ioService, CVelmoraDlg* pOwner);

        // Takes the peer's endpoint text once, at accept or adoption, for every later line.
        void TakeEndpointText();
        CString EndpointText() const { return QString::fromStdString(m_endpointText); }

        // Builds the connection's line for the message, endpoint text first, and posts it.
        void OnReceive(const boost::shared_ptr<std::vector<char>>& message) override;
        // The connection has ended: it leaves the registry, which counts it from then on.
        void OnError(const boost::system::error_code& error) override;

        // The registry's own pointer, as a weak one: set when the connection is registered.
        boost::weak_ptr<CNoxSocket::CSocket> m_wpSelf;

    private:
        CVelmoraDlg* m_pOwner;       // used to post log lines, and to leave the registry
        std::string m_endpointText;  // UTF-8, as every line of the connection starts
    };

    // The server's acceptor: registers every connection, logs it and starts receiving. A
    // failed accept never ends accepting: it is logged once per episode and retried.
    class CAcceptorApp : public CNoxSocket::CAcceptor {
    public:
        // The connections accepted or adopted that have not yet ended or been handed off;
        // the order is by ownership record and carries no meaning.
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

        // Registers a connection; it leaves by Forget.
        void Register(const boost::shared_ptr<CNoxSocket::CSocket>& spSocket);
        // Drops an ended or handed-off connection's object and counts it instead.
        void Forget(const boost::shared_ptr<CNoxSocket::CSocket>& spSocket);

        CRegistry m_registry;
        // Connections that have ended or been handed off since start-up, and those a
        // handing-over process listed as -1: each is written as -1 at a hand-off.
        std::size_t m_nClosed = 0;

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

    // Appends each UTF-8 text, oldest first, with the same result as AppendLog per text but
    // as one change to the box; a text may hold several lines, LF between them. A batch costs
    // a copy per text into the log's store, and a long text is taken rather than copied.
    void AppendLog(std::list<std::string>&& texts);

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

    // Hands every registered connection to a new process of the program, once that process
    // has confirmed it holds them; a press while one is under way waits its turn. Worker thread.
    static void HandOffConnections(CVelmoraDlg* pThis);
    // Adopts the connections named by args[1..], resuming each from its handed-over state;
    // with a confirmation channel, reading starts only once the parent has let go.
    static void AdoptSockets(CVelmoraDlg* pThis, const std::vector<CString>& args);

    // Queues a line of the worker's own (listening, accept, hand-off lines) for the log box;
    // controls in it become visible symbols as in a message, so it stays one line. Worker
    // thread.
    void Post(const CString& line);

    // The receiver of the log-line queue: appends the batch to the log box. UI thread.
    void OnMessages(std::list<std::string>& batch) override;

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
    // Back-pressure, on the worker: a connection whose line finds the log box this far behind,
    // in lines or in bytes, stops reading, so TCP holds the clients back; reading resumes once
    // the box has caught up to both low-water marks. No message is dropped and neither thread
    // waits for the other. Both marks bound what one delivered batch brings to the UI thread
    // in one turn of its loop: its time by the lines, and by the bytes the memory it takes,
    // whatever the message size.
    static constexpr std::size_t kLogHighWater = 8192;
    static constexpr std::size_t kLogLowWater = 2048;
    static constexpr std::size_t kLogHighWaterBytes = std::size_t{4} << 20;
    static constexpr std::size_t kLogLowWaterBytes = std::size_t{1} << 20;
    bool IsLogBehind() const;
    bool IsLogCaughtUp() const;
    void PauseReading(CSocketApp* pSocket);
    static void ResumeReading(CVelmoraDlg* pThis);

    // The worker writes each log line once, into a block of lines (LF between them) that
    // goes to the queue as one value: when the worker has run the handlers ready before the
    // block's first line, or once it holds kLogBlockBytes. Worker thread.
    static constexpr std::size_t kLogBlockBytes = 64 * 1024;
    // Starts a line of about nSize bytes, to be written at the end of the returned block;
    // EndLogLine ends it. A line never makes a block of other lines grow: one that does not
    // fit waits for the next block, and a long one gets its own, which the log's store then
    // keeps without a copy.
    std::string& BeginLogLine(std::size_t nSize);
    void EndLogLine();
    // A line an exception cut short (no memory for a long message, say) leaves the block:
    // every line queued is whole, and the box gains exactly the lines counted.
    void DropOpenLine();
    void QueueLogBlock();
    static void FlushLog(CVelmoraDlg* pThis);

    // One hand-off, from the press until the copy has confirmed (commit) or the connections
    // are back here (rollback). Everything in it is used on the worker thread only.
    struct CHandOff {
        explicit CHandOff(boost::asio::io_service& ioService) : m_deadline(ioService) {}
        // A connection given to the copy: its duplicate and what had been read but not logged.
        struct CConnection {
            boost::shared_ptr<CNoxSocket::CSocket> m_spSocket;
            Platform::CDescriptor m_duplicate;
            std::vector<char> m_state;
        };
        std::vector<CConnection> m_connections;
        std::size_t m_nClosed = 0;  // -1 values to write
        boost::shared_ptr<CNoxSocket::CHandOffChannel> m_spChannel;
        boost::shared_ptr<boost::asio::posix::stream_descriptor> m_spChild;  // its pidfd
        boost::asio::steady_timer m_deadline;
        std::string m_why;        // set once the hand-off is to be rolled back
        bool m_bKilled = false;   // SIGKILL sent: the next end of the child finishes it
    };
    // 10 s, or VELMORA_HANDOFF_DEADLINE's seconds.
    static std::chrono::milliseconds HandOffDeadline();
    // The steps of a hand-off, in order.
    static void SuspendConnections(CVelmoraDlg* pThis);
    static void DuplicateConnections(CVelmoraDlg* pThis, CHandOff& handOff);
    static bool StartCopy(CVelmoraDlg* pThis, CHandOff& handOff);
    // A suspended connection's duplicate for the copy, with what it had read and not yet
    // delivered; its own socket is closed. Invalid (the connection reads on here) on failure.
    static Platform::CDescriptor DuplicateSocket(
        CVelmoraDlg* pThis, const boost::shared_ptr<CNoxSocket::CSocket>& spSocket,
        std::vector<char>& state);
    static void Settle(CVelmoraDlg* pThis, const boost::shared_ptr<CHandOff>& spHandOff);
    // Settle's events.
    static void OnCopyAnswered(CVelmoraDlg* pThis, const boost::shared_ptr<CHandOff>& spHandOff,
                               const CNoxSocket::CHandOffChannel::CResult& result);
    static void OnCommitSent(CVelmoraDlg* pThis, const boost::shared_ptr<CHandOff>& spHandOff,
                             const CNoxSocket::CHandOffChannel::CResult& result);
    static void OnCopyEnded(CVelmoraDlg* pThis, const boost::shared_ptr<CHandOff>& spHandOff,
                            const boost::system::error_code& error);
    static void OnHandOffDeadline(CVelmoraDlg* pThis, const boost::shared_ptr<CHandOff>& spHandOff,
                                  const boost::system::error_code& error);
    // Kills the copy; the rollback finishes once it has been reaped.
    static void AbortHandOff(const boost::shared_ptr<CHandOff>& spHandOff,
                             const std::string& why);
    // Takes every duplicate back into its object with its state, and resumes it.
    static void TakeBack(CVelmoraDlg* pThis, CHandOff& handOff);
    // Ends the hand-off under way and starts the next press's, if any.
    static void EndHandOff(CVelmoraDlg* pThis);
    // Copy side: the parent's answer on the confirmation channel.
    static void OnParentAnswered(CVelmoraDlg* pThis,
                                 const CNoxSocket::CHandOffChannel::CResult& result);

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
    // Lines, and their bytes, queued and not yet appended to the log box.
    std::atomic<std::size_t> m_nQueuedLines{0};
    std::atomic<std::size_t> m_nQueuedBytes{0};
    // The block being written, its whole lines, the line being written, and whether a
    // FlushLog is on its way. Worker thread.
    std::string m_logBlock;
    std::size_t m_nBlockLines = 0;
    std::size_t m_nLineStart = 0;  // where the open line's separator or text begins
    bool m_bLineOpen = false;
    bool m_bFlushPosted = false;
    // Set while connections are paused; whoever clears it posts ResumeReading.
    std::atomic<bool> m_bReadingPaused{false};
    // Connections paused by back-pressure; one may have left the registry since. Worker thread.
    std::vector<boost::weak_ptr<CNoxSocket::CSocket>> m_pausedSockets;
    // Pidfds of started copies not yet reaped. Worker thread.
    std::set<boost::shared_ptr<boost::asio::posix::stream_descriptor>> m_childWatches;
    // How long a started copy has to confirm; VELMORA_HANDOFF_DEADLINE (seconds) overrides.
    std::chrono::milliseconds m_handOffDeadline;
    // The hand-off under way, if any, and the presses waiting for it. Worker thread.
    boost::shared_ptr<CHandOff> m_spHandOff;
    std::size_t m_nHandOffsWaiting = 0;
    // Copy side: adopted connections that start reading once the parent has let go, and the
    // channel its answer comes on.
    std::vector<boost::shared_ptr<CNoxSocket::CSocket>> m_awaitingCommit;
    boost::shared_ptr<CNoxSocket::CHandOffChannel> m_spParentChannel;
    QIcon m_hIcon;
};
