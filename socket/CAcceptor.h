#pragma once

#include "CSocket.h"

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>

#include <memory>

namespace CNoxSocket {

// Listens on an IPv4 port and accepts connections one after another into connection objects
// that CreateSocket makes. Everything but construction and destruction runs on the one
// thread that runs the I/O service.
class CAcceptor : private boost::noncopyable {
public:
    explicit CAcceptor(boost::asio::io_service& ioService);
    virtual ~CAcceptor();

    // The listening socket; the owner closes it directly to stop accepting.
    boost::asio::ip::tcp::acceptor m_tcpAcceptor;

    // Opens, binds 0.0.0.0:port and listens, then starts accepting. Raises
    // boost::system::system_error naming the failed step ("open", "bind", "listen"); a failed
    // bind or listen leaves the acceptor closed, so a later Listen can succeed.
    static void Listen(CAcceptor* pAcceptor, unsigned short port);
    // Starts one accept into a fresh connection object, or stops if CreateSocket gives none.
    static void StartAccept(CAcceptor* pAcceptor);
    // Completion of one accept: raises OnAccept, then starts the next accept unless
    // AcceptNext says no; on error raises OnAcceptError and starts nothing itself.
    static void OnAcceptComplete(CAcceptor* pAcceptor, boost::shared_ptr<CSocket> spSocket,
                                 const boost::system::error_code& error);

    // Asked after each OnAccept: whether to start the next accept now. An override that
    // answers false starts it later with StartAccept.
    virtual bool AcceptNext(CSocket& accepted);
    // Makes the object the next connection is accepted into; an empty result stops accepting.
    virtual std::unique_ptr<CSocket> CreateSocket(boost::asio::io_service& ioService);
    // An accept failed: operation_aborted after a close, or a failure of the system (out of
    // descriptors, a connection aborted while queued). Accepting has ended unless the
    // override calls StartAccept again.
    virtual void OnAcceptError(boost::shared_ptr<CSocket> spSocket,
                               const boost::system::error_code& error);
    // A connection was accepted. Unless kept, it is closed once AcceptNext has returned.
    virtual void OnAccept(boost::shared_ptr<CSocket> spSocket);
};

}  // namespace CNoxSocket
