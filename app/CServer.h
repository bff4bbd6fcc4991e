#pragma once

#include <atomic>
#include <boost/asio/io_service.hpp>
#include <boost/noncopyable.hpp>
#include <boost/thread/thread.hpp>
#include <boost/weak_ptr.hpp>
#include <functional>
#include <memory>
#include <vector>

#include "CAcceptorApp.h"
#include "CDescriptor.h"
#include "CLogBlocks.h"
#include "CMessageBudget.h"
#include "CString.h"

// The TCP server: the program's only I/O service, the worker thread that runs it, the
// acceptor with its registry of connections, and the log lines on their way to the UI
// thread. The UI thread never touches the network: it binds each operation and posts it to
// the service. Back-pressure lives here too: a connection whose line finds the log box
// behind stops reading, so TCP holds the clients back; reading resumes once the box has
// caught up. No message is dropped and neither thread waits for the other.
class CServer : private boost::noncopyable {
public:
    // Receives the text of an exception that escaped an operation; worker thread.
    using WorkerErrorHandler = std::function<void(const CString&)>;

    // Lines go to queue. Without a handler, worker errors become log lines.
    CServer(CLogBlocks::CQueue& queue, WorkerErrorHandler onWorkerError);
    // The worker must have been joined: the registry closes every connection.
    virtual ~CServer();

    // Starts the worker thread with its work guard. UI thread.
    void Start();
    // Waits for the worker to end, which it does once StopServer has run. UI thread.
    void Join();

    // The worker thread's body: runs the service until its run loop returns normally, which
    // happens once the work guard is gone and nothing is pending. An exception that escapes
    // an operation is handed to onWorkerError and the service runs on, so that one failed
    // operation never ends the network service.
    static void RunIoService(boost::asio::io_service& ioService,
                             const WorkerErrorHandler& onWorkerError);
    // On the worker: closes the server, then releases the work guard. The guard is released
    // whatever the closing steps report, so Join always returns.
    static void StopServer(CServer* pThis);
    // Listens on the port and logs the address bound; a failure becomes a log line naming
    // the step. Worker thread.
    static void Listen(CServer* pThis, unsigned short port);

    // Takes a listening socket passed at start-up as the listener, not accepting yet; on
    // failure it is closed and a line says why. Worker thread.
    bool AdoptListener(Platform::CDescriptor listener);
    // Starts accepting on the adopted listener, with a line naming the process it came from.
    // Worker thread.
    void AcceptAdopted(long long nFromProcess);

    // Closes the listener, whose port is then no longer shown. Worker thread.
    void CloseListener();

    // Any thread: the port listened on, or -1.
    int ListeningPort() const { return m_nListeningPort.load(std::memory_order_relaxed); }

    // Back-pressure, on the worker: the connection stops reading until the box catches up.
    void PauseReading(CSocketApp& socket);
    // UI thread: the log box has appended nLines lines of nBytes bytes.
    void OnLinesAppended(std::size_t nLines, std::size_t nBytes);

    // The memory every connection's unfinished message draws from: 512 MiB or a quarter of
    // the machine's memory, whichever is less; VELMORA_MESSAGE_BUDGET_MIB sets another.
    static std::size_t MessageBudget();

    boost::asio::io_service m_ioService;
    // Outlives the connections, which leave it as they go.
    CNoxSocket::CMessageBudget m_messageBudget;
    CLogBlocks m_log;
    CAcceptorApp m_acceptor;

protected:
    // The closing steps of StopServer, on the worker: the listening socket and every
    // connection, so the join never waits on a client. A failing step is reported like any
    // other worker error.
    virtual void CloseServer();

private:
    static void ResumeReading(CServer* pThis);

    WorkerErrorHandler m_onWorkerError;  // copied into the worker thread when it starts
    // Keeps the worker's run loop from returning while idle; null until Start and again
    // once StopServer has run.
    std::unique_ptr<boost::asio::io_service::work> m_work;
    boost::thread m_thread;
    std::atomic<int> m_nListeningPort{-1};
    // Set while connections are paused; whoever clears it posts ResumeReading.
    std::atomic<bool> m_bReadingPaused{false};
    // Connections paused by back-pressure; one may have left the registry since. Worker.
    std::vector<boost::weak_ptr<CSocketApp>> m_pausedSockets;
};
