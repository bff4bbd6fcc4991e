#include "CAcceptorApp.h"

#include <boost/asio/error.hpp>
#include <boost/asio/placeholders.hpp>
#include <boost/bind/bind.hpp>

#include <algorithm>
#include <cerrno>

#include "CServer.h"
#include "Descriptors.h"

namespace {

constexpr std::chrono::milliseconds kFirstRetryDelay{10};
constexpr std::chrono::milliseconds kLastRetryDelay{1000};
constexpr long long kDescriptorReserve = 64;

// Errors that belong to the one connection being accepted, which the system has already
// dropped from the backlog: the next accept can start at once without spinning.
bool IsConnectionFailure(const boost::system::error_code& error) {
    if (error.category() != boost::system::system_category()) return false;
    switch (error.value()) {
        case ECONNABORTED:
        case EPROTO:
        case EPERM:
        case ENETDOWN:
        case ENETUNREACH:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case EHOSTUNREACH:
        case ENONET:
        case EOPNOTSUPP:
            return true;
        default:
            return false;
    }
}

}  // namespace

CAcceptorApp::CAcceptorApp(CServer* pServer, boost::asio::io_service& ioService)
    : CNoxSocket::CAcceptor(ioService),
      m_pServer(pServer),
      m_retryTimer(ioService),
      m_retryDelay(kFirstRetryDelay),
      m_nLimit(Platform::DescriptorLimit()),
      m_nReserve(std::min(kDescriptorReserve, m_nLimit / 4)) {}

// The worker has been joined: no completion can still reach a connection released here.
CAcceptorApp::~CAcceptorApp() { m_registry.clear(); }

std::unique_ptr<CNoxSocket::CSocket> CAcceptorApp::CreateSocket(
    boost::asio::io_service& ioService) {
    if (m_bPaused) return nullptr;
    return std::make_unique<CSocketApp>(ioService, m_pServer);
}

bool CAcceptorApp::AcceptNext(CNoxSocket::CSocket& accepted) {
    // Linux hands out the lowest free number, so a high one means a nearly full table.
    --m_nFreeEstimate;
    const long long fd = accepted.m_socket.native_handle();
    if (m_nFreeEstimate >= 2 * m_nReserve && fd < m_nLimit - 2 * m_nReserve) return true;
    if (ReserveIsFree()) return true;
    BackOff(QStringLiteral("Accept -> fewer than %1 descriptors free; accepting waits")
              .arg(m_nReserve));
    return false;
}

bool CAcceptorApp::ReserveIsFree() {
    m_nFreeEstimate = Platform::CountFreeDescriptors();
    return m_nFreeEstimate >= m_nReserve;
}

void CAcceptorApp::BackOff(const CString& line) {
    if (!m_bAcceptFailing) {
        m_bAcceptFailing = true;
        m_pServer->m_log.Post(line);
    }
    // The listening socket stays readable, so retrying at once would spin. Connections that
    // arrive meanwhile wait in the backlog and are accepted once the retry succeeds.
    m_retryTimer.expires_after(m_retryDelay);
    m_retryTimer.async_wait(
        boost::bind(&CAcceptorApp::OnRetryTimer, this, boost::asio::placeholders::error));
    m_retryDelay = std::min(m_retryDelay * 2, kLastRetryDelay);
}

void CAcceptorApp::OnAccept(boost::shared_ptr<CNoxSocket::CSocket> spAccepted) {
    // CreateSocket makes nothing else.
    const auto spSocket = boost::static_pointer_cast<CSocketApp>(spAccepted);
    // Registered first, so a connection whose later steps fail is still owned.
    Register(spSocket);
    if (m_bAcceptFailing) {
        m_bAcceptFailing = false;
        m_retryDelay = kFirstRetryDelay;
        m_pServer->m_log.Post(QStringLiteral("Accept -> accepting again"));
    }
    spSocket->EnableKeepAlive();
    spSocket->TakeEndpointText();
    m_pServer->m_log.Post(spSocket->EndpointText() + QLatin1String(" -> OnAccept"));
    spSocket->StartReceive();
}

void CAcceptorApp::Register(const boost::shared_ptr<CSocketApp>& spSocket) {
    m_registry.insert(spSocket);
    m_nConnections.store(m_registry.size(), std::memory_order_relaxed);
    spSocket->m_wpSelf = spSocket;
}

void CAcceptorApp::Forget(const boost::shared_ptr<CSocketApp>& spSocket) {
    if (m_registry.erase(spSocket)) ++m_nClosed;
    m_nConnections.store(m_registry.size(), std::memory_order_relaxed);
}

void CAcceptorApp::OnAcceptError(boost::shared_ptr<CNoxSocket::CSocket>,
                                              const boost::system::error_code& error) {
    // Closed at shutdown (operation_aborted, or a retry that found the socket gone).
    if (error == boost::asio::error::operation_aborted || !m_tcpAcceptor.is_open()) return;
    // The one connection's failure (its peer gave up while it waited) is no episode of the
    // server's and gets no line.
    if (IsConnectionFailure(error)) {
        StartAccept(this);
        return;
    }
    // Out of descriptors or memory, or a failure of the listening socket itself.
    BackOff(QStringLiteral("Accept -> accept: ") + QString::fromLocal8Bit(error.message().c_str()));
}

void CAcceptorApp::OnRetryTimer(CAcceptorApp* pThis,
                                const boost::system::error_code& error) {
    if (error || !pThis->m_tcpAcceptor.is_open()) return;
    if (!pThis->ReserveIsFree()) {
        pThis->BackOff(CString());
        return;
    }
    StartAccept(pThis);
}

void CAcceptorApp::Close(boost::system::error_code& error) {
    m_retryTimer.cancel();
    m_tcpAcceptor.close(error);
}

void CAcceptorApp::Pause() {
    m_bPaused = true;
    m_retryTimer.cancel();
    boost::system::error_code ignored;
    m_tcpAcceptor.cancel(ignored);
}

void CAcceptorApp::Resume() {
    m_bPaused = false;
    if (m_tcpAcceptor.is_open()) StartAccept(this);
}
