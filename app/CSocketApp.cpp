#include "CVelmoraDlg.h"

#include <boost/bind/bind.hpp>

#include "MessageText.h"
#include "SocketError.h"

CVelmoraDlg::CSocketApp::CSocketApp(boost::asio::io_service& ioService, CVelmoraDlg* pOwner)
    : CNoxSocket::CSocket(ioService), m_pOwner(pOwner) {}

void CVelmoraDlg::CSocketApp::TakeEndpointText() {
    // Taken once: every line of the connection then carries the same text, also after the
    // peer has gone, and no system call is made per message.
    boost::system::error_code error;
    const boost::asio::ip::tcp::endpoint endpoint = m_socket.remote_endpoint(error);
    m_endpointText = (error ? QStringLiteral("(remote_endpoint: %1)")
                                  .arg(QString::fromLocal8Bit(error.message().c_str()))
                            : GetEndpointText(endpoint))
                         .toStdString();
}

void CVelmoraDlg::CSocketApp::OnReceive(const boost::shared_ptr<std::vector<char>>& message) {
    // The message's bytes are copied once, into the worker's block of lines, which then
    // travels by moves only.
    std::string& block = m_pOwner->BeginLogLine(m_endpointText.size() + 4 + message->size());
    block.append(m_endpointText).append(" -> ");
    AppendMessageText(block, message->data(), message->size());
    m_pOwner->EndLogLine();
    if (m_pOwner->IsLogBehind()) m_pOwner->PauseReading(this);
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
                           .arg(EndpointText())
                           .arg(AnnouncedLength())
                           .arg(CNoxSocket::kMaxMessageSize));
    }
}
