#include "CVelmoraDlg.h"

#include <algorithm>
#include <boost/bind/bind.hpp>

#include "SocketError.h"

CVelmoraDlg::CSocketApp::CSocketApp(boost::asio::io_service& ioService, CVelmoraDlg* pOwner)
    : CNoxSocket::CSocket(ioService), m_pOwner(pOwner) {}

void CVelmoraDlg::CSocketApp::TakeEndpointText() {
    // Taken once: every line of the connection then carries the same text, also after the
    // peer has gone, and no system call is made per message.
    boost::system::error_code error;
    const boost::asio::ip::tcp::endpoint endpoint = m_socket.remote_endpoint(error);
    m_endpointText = error ? QStringLiteral("(remote_endpoint: %1)")
                                 .arg(QString::fromLocal8Bit(error.message().c_str()))
                           : GetEndpointText(endpoint);
}

void CVelmoraDlg::CSocketApp::OnReceive(const boost::shared_ptr<std::vector<char>>& message) {
    // The text ends at the first zero byte; UTF-8 whatever the locale, with replacement
    // characters for bytes that do not decode.
    const std::vector<char>& bytes = *message;
    const auto end = std::find(bytes.begin(), bytes.end(), '\0');
    const CString text =
        QString::fromUtf8(bytes.data(), static_cast<qsizetype>(end - bytes.begin()));
    m_pOwner->Post(m_endpointText + QLatin1String(" -> ") + text);
    if (m_pOwner->m_nQueuedLines.load(std::memory_order_relaxed) > kLogHighWater) {
        m_pOwner->PauseReading(this);
    }
}

void CVelmoraDlg::CSocketApp::OnError(const boost::system::error_code& error) {
    // The object is still in use until this returns: it leaves the registry from the queue.
    // A connection being handed off is suspended and never gets here.
    if (const boost::shared_ptr<CNoxSocket::CSocket> spSelf = m_wpSelf.lock()) {
        m_pOwner->m_ioService.post(
            boost::bind(&CAcceptorApp::Forget, &m_pOwner->m_acceptor, spSelf));
    }
    // End of file, resets and aborts end a connection silently; a refused length is the one
    // receive error an operator needs to see.
    if (error == CNoxSocket::error::message_too_long) {
        m_pOwner->Post(QStringLiteral("%1 -> message length %2 exceeds the limit of %3 bytes")
                           .arg(m_endpointText)
                           .arg(AnnouncedLength())
                           .arg(CNoxSocket::kMaxMessageSize));
    }
}
