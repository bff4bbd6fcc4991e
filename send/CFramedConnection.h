#pragma once

#include <cstddef>
#include <string>

// A blocking TCP connection that writes length-prefixed messages: a 4-byte little-endian
// length, then the bytes. Every failure comes back as false with one line of text, such as
// "connect 127.0.0.1:10000: Connection refused".
class CFramedConnection {
public:
    CFramedConnection() = default;
    CFramedConnection(const CFramedConnection&) = delete;
    CFramedConnection& operator=(const CFramedConnection&) = delete;
    // Closes the socket if it is open.
    ~CFramedConnection();

    // Resolves host and port and connects to the first address that accepts, in the order
    // the resolver gives them; on failure, the reason for the last address tried.
    bool Connect(const std::string& host, const std::string& port, std::string& error);
    // Writes one whole message, its length first.
    bool Send(const char* data, std::size_t size, std::string& error);
    // Shuts the connection down for writing, so the server reads an orderly end after the
    // last message, and closes it.
    bool Finish(std::string& error);

    // The peer as connected, e.g. "127.0.0.1:10000" or "[::1]:10000".
    const std::string& Peer() const { return m_peer; }

private:
    int m_fd = -1;
    std::string m_peer;
};
