#pragma once

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>
#include <string>
#include <vector>

#include "CSocket.h"
#include "CString.h"

class CServer;

// One accepted or adopted connection; every message becomes a log line.
class CSocketApp : public CNoxSocket::CSocket {
public:
    CSocketApp(boost::asio::io_service& ioService, CServer* pServer);

    // "%s:%d": the peer's dotted address and port.
    static CString GetEndpointText(const boost::asio::ip::tcp::endpoint& endpoint);

    // Takes the peer's endpoint text once, for every later line: at accept from the address
    // the accept returned, at adoption from the socket.
    void TakeEndpointText();
    CString EndpointText() const { return QString::fromStdString(m_endpointText); }

    // Writes the connection's line for the message, endpoint text first, into the server's
    // log blocks; stops reading while the log box is behind.
    void OnReceive(const boost::shared_ptr<std::vector<char>>& message) override;
    // The connection has ended: it leaves the registry, which counts it from then on.
    void OnError(const boost::system::error_code& error) override;

    // The registry's own pointer, as a weak one: set when the connection is registered.
    boost::weak_ptr<CSocketApp> m_wpSelf;

private:
    CServer* m_pServer;          // its log blocks, back-pressure and registry
    std::string m_endpointText;  // UTF-8, as every line of the connection starts
};
