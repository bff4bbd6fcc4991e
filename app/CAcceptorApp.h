#pragma once

#include <boost/asio/io_service.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/smart_ptr/owner_less.hpp>
#include <atomic>
#include <chrono>
#include <memory>
#include <set>

#include "CAcceptor.h"
#include "CSocketApp.h"
#include "CString.h"

class CServer;

// The server's acceptor: registers every connection, logs it and starts receiving. A failed
// accept never ends accepting: it is logged once per episode and retried. Worker thread.
class CAcceptorApp : public CNoxSocket::CAcceptor {
public:
    // The connections accepted or adopted that have not yet ended or been handed off; the
    // order is by ownership record and carries no meaning.
    using CRegistry =
        std::set<boost::shared_ptr<CSocketApp>, boost::owner_less<boost::shared_ptr<CSocketApp>>>;

    CAcceptorApp(CServer* pServer, boost::asio::io_service& ioService);
    ~CAcceptorApp() override;

    std::unique_ptr<CNoxSocket::CSocket> CreateSocket(boost::asio::io_service& ioService) override;
    // Goes on accepting while at least m_nReserve descriptors stay free; below that,
    // accepting waits (an episode with its line) and the retry timer looks again.
    bool AcceptNext(CNoxSocket::CSocket& accepted) override;
    void OnAccept(boost::shared_ptr<CNoxSocket::CSocket> spSocket) override;
    // Retries at once after a failure of the one pending connection, after a growing
    // back-off when descriptors or memory ran out (the connection waits in the backlog
    // meanwhile); stops only once the listening socket has been closed.
    void OnAcceptError(boost::shared_ptr<CNoxSocket::CSocket> spSocket,
                       const boost::system::error_code& error) override;

    // Closes the listening socket and drops a retry still waiting.
    void Close(boost::system::error_code& error);
    // Stops accepting: no new accept starts, the pending one and a retry are cancelled; an
    // accept already completed still runs. Connections that arrive wait in the backlog.
    void Pause();
    // Accepts again after Pause, or for the first time on a listener adopted unaccepting.
    void Resume();

    // Registers a connection; it leaves by Forget.
    void Register(const boost::shared_ptr<CSocketApp>& spSocket);
    // Drops an ended or handed-off connection's object and counts it instead.
    void Forget(const boost::shared_ptr<CSocketApp>& spSocket);

    // Any thread: the connections in the registry.
    std::size_t ConnectionCount() const { return m_nConnections.load(std::memory_order_relaxed); }

    CRegistry m_registry;
    // Connections that have ended or been handed off since start-up, and those a
    // handing-over process listed as -1: each is written as -1 at a hand-off.
    std::size_t m_nClosed = 0;

private:
    static void OnRetryTimer(CAcceptorApp* pThis, const boost::system::error_code& error);
    // Whether m_nReserve descriptors are free, counted exactly; refreshes m_nFreeEstimate.
    bool ReserveIsFree();
    // Starts an episode (its line once) and arms the retry timer with the next back-off.
    void BackOff(const CString& line);

    CServer* m_pServer;  // its log blocks, and the owner of every connection made
    boost::asio::steady_timer m_retryTimer;
    std::chrono::milliseconds m_retryDelay;  // the next back-off
    bool m_bAcceptFailing = false;           // an episode's line has been posted
    bool m_bPaused = false;                  // CreateSocket gives none: no accept starts
    // Descriptors kept free for what the program opens besides connections (dialogs,
    // threads, the spill file, a hand-off): 64, or a quarter of a small limit.
    const long long m_nLimit;
    const long long m_nReserve;
    // Free descriptors at the last exact count, less the accepts since: closes only make it
    // low, so an exact count is needed only once it nears the reserve.
    long long m_nFreeEstimate = 0;
    std::atomic<std::size_t> m_nConnections{0};  // m_registry's size, for the UI thread
};
