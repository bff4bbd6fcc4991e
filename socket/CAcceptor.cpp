#include "CAcceptor.h"

#include <boost/asio/placeholders.hpp>
#include <boost/bind/bind.hpp>
#include <boost/system/system_error.hpp>

#include "Descriptors.h"

namespace CNoxSocket {

CAcceptor::CAcceptor(boost::asio::io_service& ioService) : m_tcpAcceptor(ioService) {}

CAcceptor::~CAcceptor() {}

void CAcceptor::Listen(CAcceptor* pAcceptor, unsigned short port) {
    using boost::asio::ip::tcp;
    tcp::acceptor& acceptor = pAcceptor->m_tcpAcceptor;
    acceptor.open(tcp::v4());
    try {
        // Asio opens and accepts without SOCK_CLOEXEC, so the flag is set right after, on the
        // worker thread: a process started later inherits only what is handed to it on purpose.
        if (const int error = Platform::SetCloseOnExec(acceptor.native_handle())) {
            throw boost::system::system_error(
                boost::system::error_code(error, boost::system::system_category()), "fcntl");
        }
        // Lets a restarted server bind over connections left in TIME_WAIT; a port another
        // socket listens on still fails at bind.
        acceptor.set_option(tcp::acceptor::reuse_address(true));
        acceptor.bind(tcp::endpoint(boost::asio::ip::address_v4::any(), port));
        acceptor.listen(tcp::acceptor::max_listen_connections);
    } catch (...) {
        boost::system::error_code ignored;
        acceptor.close(ignored);
        throw;
    }
    StartAccept(pAcceptor);
}

void CAcceptor::StartAccept(CAcceptor* pAcceptor) {
    boost::asio::io_service& ioService =
        static_cast<boost::asio::io_service&>(pAcceptor->m_tcpAcceptor.get_executor().context());
    boost::shared_ptr<CSocket> spSocket(pAcceptor->CreateSocket(ioService));
    if (!spSocket) return;
    pAcceptor->m_tcpAcceptor.async_accept(
        spSocket->m_socket, spSocket->m_peer,
        boost::bind(&CAcceptor::OnAcceptComplete, pAcceptor, spSocket,
                                        boost::asio::placeholders::error));
}

void CAcceptor::OnAcceptComplete(CAcceptor* pAcceptor, boost::shared_ptr<CSocket> spSocket,
                                 const boost::system::error_code& error) {
    if (error) {
        pAcceptor->OnAcceptError(spSocket, error);
        return;
    }
    // Only EBADF can fail here, and the socket was just accepted.
    Platform::SetCloseOnExec(spSocket->m_socket.native_handle());
    pAcceptor->OnAccept(spSocket);
    if (pAcceptor->AcceptNext(*spSocket)) StartAccept(pAcceptor);
}

std::unique_ptr<CSocket> CAcceptor::CreateSocket(boost::asio::io_service& ioService) {
    return std::unique_ptr<CSocket>(new CSocket(ioService));
}

bool CAcceptor::AcceptNext(CSocket&) { return true; }

void CAcceptor::OnAcceptError(boost::shared_ptr<CSocket>, const boost::system::error_code&) {}

void CAcceptor::OnAccept(boost::shared_ptr<CSocket>) {}

}  // namespace CNoxSocket
