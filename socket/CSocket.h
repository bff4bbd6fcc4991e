#pragma once

#include "SocketError.h"

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace CNoxSocket {

class CMessageBudget;

// Keepalive of every connection: first probe after this long without traffic...
constexpr int kKeepAliveIdleSeconds = 600;
// ...then one probe this often...
constexpr int kKeepAliveIntervalSeconds = 60;
// ...and the connection fails after this many probes go unanswered.
constexpr int kKeepAliveProbes = 5;

// One inbound TCP connection carrying length-prefixed messages (4-byte little-endian length,
// then the payload). Everything but construction and destruction runs on the one thread that
// runs the I/O service, so the class has no lock.
//
// The loop waits for readiness rather than keeping a read pending, so an idle connection owns
// no buffer. Bytes are read ahead into a buffer of the worker thread and frames are cut out of
// it; whatever was taken off the socket and not yet delivered (a partial frame, and frames read
// ahead when the loop stops) stays with the connection and can be saved and restored.
class CSocket : private boost::noncopyable {
public:
    explicit CSocket(boost::asio::io_service& ioService);
    // A connection that resumes a stream another connection (or process) saved with SaveState.
    CSocket(boost::asio::io_service& ioService, std::vector<char> state);
    virtual ~CSocket();

    // The connected socket; owners use it for accept, assign, close, remote_endpoint and the
    // native handle. Closing it stops the loop: a pending wait reaches OnError once with
    // operation_aborted.
    boost::asio::ip::tcp::socket m_socket;
    // The peer's address as the accept returned it; unspecified for a connection not accepted
    // by a CAcceptor.
    boost::asio::ip::tcp::endpoint m_peer;

    // Starts (or restarts, after assign or RestoreState) the receive loop on a connected
    // socket. Clears a suspension.
    void StartReceive();

    // Turns on TCP keepalive: a peer that vanished without closing (cable pulled, NAT state
    // dropped) is found and the loop ends with an error, kKeepAliveIdleSeconds +
    // kKeepAliveProbes * kKeepAliveIntervalSeconds after the last sign of it (15 minutes).
    // Nothing is sent on the stream itself. A socket that refuses an option is served
    // without it.
    void EnableKeepAlive();

    // One complete message, in its own vector. Nothing is read from the socket while it runs.
    virtual void OnReceive(const boost::shared_ptr<std::vector<char>>& message);
    // The loop's end: a read failure, end of file, operation_aborted after a close, or
    // error::message_too_long. The socket is closed right after it returns.
    virtual void OnError(const boost::system::error_code& error);

    // Stops the loop: afterwards nothing is pending on the socket and no completion queued
    // before will touch the connection. Unread bytes wait in the socket. May be called from
    // OnReceive; frames already read ahead then stay in the state, undelivered.
    void SuspendReceive();
    // Undoes SuspendReceive: frames held in the state are delivered first, then the socket.
    void ResumeReceive();
    bool IsReceiveSuspended() const { return m_bSuspended; }

    // Every byte taken off the socket and not yet delivered, in stream order. Valid at any
    // moment on the worker thread, OnReceive and OnError included.
    std::vector<char> SaveState() const;
    // Replaces the state with bytes SaveState produced; they are parsed before anything on
    // the socket. Call before StartReceive or while suspended.
    void RestoreState(std::vector<char> state);

    // Draws the memory of unfinished messages from budget, shared with other connections:
    // past it, this connection stops reading mid-message until room comes free. Call before
    // StartReceive; the budget outlives the connection.
    void UseBudget(CMessageBudget& budget) { m_pBudget = &budget; }

    // The length the current (or last) header announced, also when it was refused as too
    // long.
    std::uint32_t AnnouncedLength() const { return m_nAnnounced; }

    // Shared with the pending completion so that a completion cancelled by SuspendReceive or
    // by destruction, which still runs later, finds the connection detached.
    struct CWait {
        explicit CWait(CSocket* pSocket) : m_pSocket(pSocket) {}
        CSocket* m_pSocket;
    };

    // Completion of the readiness wait (or of the post that replays a restored state).
    static void OnReadable(const boost::system::error_code& error,
                           const boost::shared_ptr<CWait>& wait);

private:
    friend class CMessageBudget;
    // Body bytes the current message still misses.
    std::uint32_t MissingBytes() const { return m_nAnnounced - m_nBody; }
    // The budget has room again: a connection that waited for it reads on.
    void OnBudgetRoom();

    void StartWait();
    void ReadAvailable(char* buffer, std::size_t size);
    bool Consume();
    bool Deliver(boost::shared_ptr<std::vector<char>> message);
    bool ReserveBody(std::size_t need);
    void ReleaseBody();
    bool WaitForBudget();
    void Stash();
    void Fail(const boost::system::error_code& error);

    boost::shared_ptr<CWait> m_spWait;              // never empty; detached and replaced on suspend
    boost::shared_ptr<std::vector<char>> m_spBody;  // partial body; sized ahead of m_nBody
    std::vector<char> m_pending;                    // taken off the socket, not yet parsed
    const char* m_pAhead = nullptr;                 // read ahead, being parsed (worker buffer)
    const char* m_pAheadEnd = nullptr;
    std::uint32_t m_nAnnounced = 0;
    std::uint32_t m_nBody = 0;   // body bytes received
    std::uint8_t m_nHeader = 0;  // partial header bytes in m_header
    char m_header[4] = {};
    CMessageBudget* m_pBudget = nullptr;
    std::size_t m_nHeld = 0;  // m_spBody's size, as granted by the budget
    bool m_bInBody = false;
    bool m_bBudgetWait = false;  // refused by the budget; OnBudgetRoom resumes
    bool m_bWaitPending = false;
    bool m_bSuspended = false;
    bool m_bEnded = false;  // OnError was raised; only StartReceive restarts
};

}  // namespace CNoxSocket
