#include "CAcceptorApp.h"

#include <boost/asio/error.hpp>
#include <boost/asio/placeholders.hpp>
#include <boost/bind/bind.hpp>

#include <algorithm>
#include <cerrno>

#include "CServer.h"

namespace {

constexpr std::chrono::milliseconds kFirstRetryDelay{10};
constexpr std::chrono::milliseconds kLastRetryDelay{1000};

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
      m_retryDelay(kFirstRetryDelay) {}

// The worker has been joined: no completion can still reach a connection released here.
CAcceptorApp::~CAcceptorApp() { m_registry.clear(); }

std::unique_ptr<CNoxSocket::CSocket> CAcceptorApp::CreateSocket(
    boost::asio::io_service& ioService) {
    if (m_bPaused) return nullptr;
    return std::make_unique<CSocketApp>(ioService, m_pServer);
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
    if (!m_bAcceptFailing) {
        m_bAcceptFailing = true;
        m_pServer->m_log.Post(QStringLiteral("Accept -> accept: ") +
                       QString::fromLocal8Bit(error.message().c_str()));
    }
    if (IsConnectionFailure(error)) {
        StartAccept(this);
        return;
    }
    // Out of descriptors or memory, or a failure of the listening socket itself: the
    // listening socket stays readable, so retrying at once would spin. Connections that
    // arrive meanwhile wait in the backlog and are accepted once the retry succeeds.
    m_retryTimer.expires_after(m_retryDelay);
    m_retryTimer.async_wait(
        boost::bind(&CAcceptorApp::OnRetryTimer, this, boost::asio::placeholders::error));
    m_retryDelay = std::min(m_retryDelay * 2, kLastRetryDelay);
}

void CAcceptorApp::OnRetryTimer(CAcceptorApp* pThis,
                                             const boost::system::error_code& error) {
    if (error || !pThis->m_tcpAcceptor.is_open()) return;
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
