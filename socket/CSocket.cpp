#include "CSocket.h"

#include "CMessageBudget.h"

#include <boost/asio/error.hpp>
#include <boost/asio/placeholders.hpp>
#include <boost/asio/post.hpp>
#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

namespace CNoxSocket {
namespace {

// Read-ahead buffer of the worker thread. Large enough to take thousands of small frames per
// system call; it is never held by an idle connection.
constexpr std::size_t kReadBufferSize = 64 * 1024;
// A body with at least this much still missing is read straight into its vector.
constexpr std::uint32_t kDirectReadMin = 16 * 1024;
// What a direct body read takes beyond the body: the next header and the start of its body.
constexpr std::size_t kLookahead = 4 * 1024;
// Smallest step a partial body grows by; later steps double, so memory follows the bytes
// received and never the length announced.
constexpr std::size_t kBodyStep = 64 * 1024;
// Reads per readiness event, so one busy connection cannot starve the others.
constexpr int kReadsPerEvent = 16;

// One buffer per thread that runs completions. A completion nested inside another (an owner
// running the service from OnReceive) gets its own instead of overwriting frames still
// being parsed.
class CReadBuffer {
public:
    CReadBuffer() {
        CReadBuffer*& pOwner = Current();
        if (!pOwner) {
            pOwner = this;
            m_pData = Shared();
        } else {
            m_spOwn.reset(new char[kReadBufferSize]);
            m_pData = m_spOwn.get();
        }
    }
    ~CReadBuffer() {
        if (Current() == this) Current() = nullptr;
    }
    char* Data() const { return m_pData; }

private:
    static CReadBuffer*& Current() {
        thread_local CReadBuffer* pCurrent = nullptr;
        return pCurrent;
    }
    static char* Shared() {
        thread_local std::unique_ptr<char[]> spData(new char[kReadBufferSize]);
        return spData.get();
    }

    std::unique_ptr<char[]> m_spOwn;
    char* m_pData = nullptr;
};

}  // namespace

CSocket::CSocket(boost::asio::io_service& ioService)
    : m_socket(ioService), m_spWait(boost::make_shared<CWait>(this)) {}

CSocket::CSocket(boost::asio::io_service& ioService, std::vector<char> state) : CSocket(ioService) {
    RestoreState(std::move(state));
}

CSocket::~CSocket() {
    // m_socket's destruction cancels a pending wait, whose completion runs after we are gone.
    m_spWait->m_pSocket = nullptr;
    if (m_pBudget) m_pBudget->Forget(this);
    ReleaseBody();
}

void CSocket::StartReceive() {
    m_bEnded = false;
    m_bSuspended = false;
    StartWait();
}

void CSocket::EnableKeepAlive() {
    using boost::asio::detail::socket_option::integer;
    // The option lives on the socket, not the descriptor, so it goes along with a hand-off.
    boost::system::error_code ignored;
    m_socket.set_option(boost::asio::socket_base::keep_alive(true), ignored);
    m_socket.set_option(integer<IPPROTO_TCP, TCP_KEEPIDLE>(kKeepAliveIdleSeconds), ignored);
    m_socket.set_option(integer<IPPROTO_TCP, TCP_KEEPINTVL>(kKeepAliveIntervalSeconds), ignored);
    m_socket.set_option(integer<IPPROTO_TCP, TCP_KEEPCNT>(kKeepAliveProbes), ignored);
}

void CSocket::OnReceive(const boost::shared_ptr<std::vector<char>>&) {}

void CSocket::OnError(const boost::system::error_code&) {}

void CSocket::SuspendReceive() {
    m_bSuspended = true;
    if (!m_bWaitPending) return;
    m_bWaitPending = false;
    m_spWait->m_pSocket = nullptr;
    m_spWait = boost::make_shared<CWait>(this);
    boost::system::error_code ignored;
    m_socket.cancel(ignored);
}

void CSocket::ResumeReceive() {
    if (!m_bSuspended) return;
    m_bSuspended = false;
    StartWait();
}

std::vector<char> CSocket::SaveState() const {
    std::vector<char> state;
    if (m_bInBody) {
        state.reserve(4 + m_nBody + (m_pAheadEnd - m_pAhead) + m_pending.size());
        const char* const pLength = reinterpret_cast<const char*>(&m_nAnnounced);
        state.insert(state.end(), pLength, pLength + 4);
        if (m_nBody) state.insert(state.end(), m_spBody->data(), m_spBody->data() + m_nBody);
    } else {
        state.insert(state.end(), m_header, m_header + m_nHeader);
    }
    state.insert(state.end(), m_pAhead, m_pAheadEnd);
    state.insert(state.end(), m_pending.begin(), m_pending.end());
    return state;
}

void CSocket::RestoreState(std::vector<char> state) {
    ReleaseBody();
    m_spBody.reset();
    m_nBody = 0;
    m_nHeader = 0;
    m_bInBody = false;
    m_pAhead = m_pAheadEnd = nullptr;
    m_pending = std::move(state);
}

void CSocket::StartWait() {
    if (m_bWaitPending || m_bSuspended || m_bEnded || m_bBudgetWait) return;
    m_bWaitPending = true;
    if (!m_pending.empty() && m_socket.is_open()) {
        // Frames already taken off the socket come first, but never from inside the caller.
        boost::asio::post(m_socket.get_executor(),
                          boost::bind(&CSocket::OnReadable, boost::system::error_code(), m_spWait));
    } else {
        // On a closed socket this completes at once with bad_descriptor.
        m_socket.async_wait(
            boost::asio::ip::tcp::socket::wait_read,
            boost::bind(&CSocket::OnReadable, boost::asio::placeholders::error, m_spWait));
    }
}

void CSocket::OnReadable(const boost::system::error_code& error,
                         const boost::shared_ptr<CWait>& wait) {
    CSocket* const pSocket = wait->m_pSocket;
    if (!pSocket) return;
    pSocket->m_bWaitPending = false;
    if (error) {
        pSocket->Fail(error);
        return;
    }
    CReadBuffer buffer;
    pSocket->ReadAvailable(buffer.Data(), kReadBufferSize);
}

void CSocket::ReadAvailable(char* buffer, std::size_t size) {
    for (int nReads = 0; nReads < kReadsPerEvent; ++nReads) {
        if (!m_pending.empty()) {
            std::vector<char> bytes;
            bytes.swap(m_pending);
            m_pAhead = bytes.data();
            m_pAheadEnd = m_pAhead + bytes.size();
            if (!Consume()) break;
            m_pAhead = m_pAheadEnd = nullptr;
            continue;
        }

        iovec iov[2];
        std::size_t nIov = 0;
        std::size_t nDirect = 0;
        if (m_bInBody && m_nAnnounced - m_nBody >= kDirectReadMin) {
            if (!ReserveBody(m_nBody + 1)) {
                WaitForBudget();
                return;
            }
            nDirect = m_spBody->size() - m_nBody;
            iov[nIov++] = {m_spBody->data() + m_nBody, nDirect};
            if (m_spBody->size() == m_nAnnounced) iov[nIov++] = {buffer, kLookahead};
        } else {
            iov[nIov++] = {buffer, size};
        }
        msghdr msg = {};
        msg.msg_iov = iov;
        msg.msg_iovlen = nIov;
        // MSG_DONTWAIT leaves the descriptor's flags alone: after a hand-off another process
        // shares them.
        const ssize_t nRead = ::recvmsg(m_socket.native_handle(), &msg, MSG_DONTWAIT);
        if (nRead < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            Fail(boost::system::error_code(errno, boost::system::system_category()));
            return;
        }
        if (nRead == 0) {
            Fail(boost::asio::error::eof);
            return;
        }
        const std::size_t nBody = std::min<std::size_t>(nRead, nDirect);
        m_nBody += static_cast<std::uint32_t>(nBody);
        m_pAhead = buffer;
        m_pAheadEnd = buffer + (nRead - nBody);
        if (!Consume()) break;
        m_pAhead = m_pAheadEnd = nullptr;
        std::size_t nAsked = 0;
        for (std::size_t i = 0; i < nIov; ++i) nAsked += iov[i].iov_len;
        if (static_cast<std::size_t>(nRead) < nAsked) break;  // drained; save the EAGAIN call
    }
    StartWait();
}

// Parses [m_pAhead, m_pAheadEnd) and delivers what completes. Returns false when the loop
// must stop (suspended, closed or failed); the unparsed rest is then in m_pending.
bool CSocket::Consume() {
    for (;;) {
        const std::size_t nAvail = m_pAheadEnd - m_pAhead;
        if (m_bInBody) {
            const std::uint32_t nMissing = m_nAnnounced - m_nBody;
            if (nMissing == 0) {
                boost::shared_ptr<std::vector<char>> spBody;
                spBody.swap(m_spBody);
                ReleaseBody();
                if (!spBody) spBody = boost::make_shared<std::vector<char>>();
                if (!Deliver(std::move(spBody))) return false;
                continue;
            }
            if (nAvail == 0) return true;
            if (m_nBody == 0 && nAvail >= nMissing) {
                const char* const pFirst = m_pAhead;
                m_pAhead += nMissing;
                if (!Deliver(boost::make_shared<std::vector<char>>(pFirst, m_pAhead))) {
                    return false;
                }
                continue;
            }
            const std::size_t n = std::min<std::size_t>(nMissing, nAvail);
            if (!ReserveBody(m_nBody + n)) {
                Stash();
                return WaitForBudget();
            }
            std::memcpy(m_spBody->data() + m_nBody, m_pAhead, n);
            m_nBody += static_cast<std::uint32_t>(n);
            m_pAhead += n;
            continue;
        }

        if (nAvail == 0) return true;
        std::uint32_t nLength;
        if (m_nHeader == 0 && nAvail >= 4) {
            std::memcpy(&nLength, m_pAhead, 4);
            m_pAhead += 4;
        } else {
            const std::size_t n = std::min<std::size_t>(4 - m_nHeader, nAvail);
            std::memcpy(m_header + m_nHeader, m_pAhead, n);
            m_nHeader += static_cast<std::uint8_t>(n);
            m_pAhead += n;
            if (m_nHeader < 4) return true;
            std::memcpy(&nLength, m_header, 4);
            m_nHeader = 0;
        }
        m_nAnnounced = nLength;
        m_nBody = 0;
        m_bInBody = true;
        if (nLength > kMaxMessageSize) {
            Stash();
            Fail(error::message_too_long);
            return false;
        }
    }
}

bool CSocket::Deliver(boost::shared_ptr<std::vector<char>> message) {
    m_bInBody = false;
    m_nBody = 0;
    OnReceive(message);
    if (m_bSuspended || m_bEnded || !m_socket.is_open()) {
        Stash();
        return false;
    }
    return true;
}

bool CSocket::ReserveBody(std::size_t need) {
    if (!m_spBody) m_spBody = boost::make_shared<std::vector<char>>();
    std::vector<char>& body = *m_spBody;
    if (body.size() >= need) return true;
    const std::size_t target =
        std::min<std::size_t>(std::max({need, body.size() * 2, kBodyStep}), m_nAnnounced);
    if (m_pBudget && !m_pBudget->Take(this, target - body.size())) return false;
    m_nHeld = target;
    body.resize(target);
    return true;
}

// The body has been delivered or dropped: its memory goes back to the budget.
void CSocket::ReleaseBody() {
    if (!m_pBudget || !m_nHeld) return;
    const std::size_t nHeld = m_nHeld;
    m_nHeld = 0;
    m_pBudget->Give(this, nHeld);
}

// Stops the loop until the budget has room; what was read ahead waits in m_pending.
bool CSocket::WaitForBudget() {
    m_bBudgetWait = true;
    m_pBudget->Wait(this);
    return false;
}

void CSocket::OnBudgetRoom() {
    m_bBudgetWait = false;
    StartWait();
}

// Keeps frames read ahead with the connection when the loop stops before parsing them.
void CSocket::Stash() {
    m_pending.insert(m_pending.begin(), m_pAhead, m_pAheadEnd);
    m_pAhead = m_pAheadEnd = nullptr;
}

void CSocket::Fail(const boost::system::error_code& error) {
    m_bEnded = true;
    OnError(error);
    m_socket.close();
}

}  // namespace CNoxSocket
