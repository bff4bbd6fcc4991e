#include "CSocketApp.h"

#include <boost/asio/error.hpp>
#include <boost/bind/bind.hpp>

#include "CServer.h"
#include "MessageText.h"
#include "SocketError.h"

CSocketApp::CSocketApp(boost::asio::io_service& ioService, CServer* pServer)
    : CNoxSocket::CSocket(ioService), m_pServer(pServer) {
    UseBudget(pServer->m_messageBudget);
}

CString CSocketApp::GetEndpointText(const boost::asio::ip::tcp::endpoint& endpoint) {
    return QStringLiteral("%1:%2")
        .arg(QString::fromLocal8Bit(endpoint.address().to_string().c_str()))
        .arg(endpoint.port());
}

void CSocketApp::TakeEndpointText() {
    // Taken once: every line of the connection then carries the same text, also after the
    // peer has gone, and no system call is made per message.
    // A peer that reset the connection right after connecting has no remote_endpoint any
    // more, but the accept has already told its address.
    boost::system::error_code error;
    const boost::asio::ip::tcp::endpoint endpoint =
        m_peer.port() != 0 ? m_peer : m_socket.remote_endpoint(error);
    m_endpointText = (error ? QStringLiteral("(remote_endpoint: %1)")
                                  .arg(QString::fromLocal8Bit(error.message().c_str()))
                            : GetEndpointText(endpoint))
                         .toStdString();
}

void CSocketApp::OnReceive(const boost::shared_ptr<std::vector<char>>& message) {
    // The message's bytes are copied once, into the worker's block of lines, which then
    // travels by moves only.
    CLogBlocks& log = m_pServer->m_log;
    std::string& block = log.BeginLine(m_endpointText.size() + 4 + message->size());
    block.append(m_endpointText).append(" -> ");
    AppendMessageText(block, message->data(), message->size());
    log.EndLine();
    if (log.IsBehind()) m_pServer->PauseReading(*this);
}

void CSocketApp::OnError(const boost::system::error_code& error) {
    // The object is still in use until this returns: it leaves the registry from the queue.
    // A connection being handed off is suspended and never gets here.
    if (const boost::shared_ptr<CSocketApp> spSelf = m_wpSelf.lock()) {
        m_pServer->m_ioService.post(
            boost::bind(&CAcceptorApp::Forget, &m_pServer->m_acceptor, spSelf));
    }
    // The line says how it ended, once: a refused length says it itself, and a connection
    // closed here (shutdown, hand-off) ends with operation_aborted and no line.
    const CString endpoint = EndpointText();
    CLogBlocks& log = m_pServer->m_log;
    if (error == CNoxSocket::error::message_too_long) {
        log.Post(QStringLiteral("%1 -> message length %2 exceeds the limit of %3 bytes")
                     .arg(endpoint)
                     .arg(AnnouncedLength())
                     .arg(CNoxSocket::kMaxMessageSize));
    } else if (error == boost::asio::error::eof) {
        log.Post(endpoint + QLatin1String(" -> OnClose"));
    } else if (error != boost::asio::error::operation_aborted) {
        log.Post(QStringLiteral("%1 -> OnClose: %2")
                     .arg(endpoint, QString::fromLocal8Bit(error.message().c_str())));
    }
}
