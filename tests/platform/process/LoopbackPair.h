#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <utility>

// A descriptor closed when the test lets go of it.
class CFd {
public:
    explicit CFd(int fd = -1) : m_fd(fd) {}
    ~CFd() { Reset(); }
    CFd(CFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    CFd& operator=(CFd&& other) noexcept {
        Reset(std::exchange(other.m_fd, -1));
        return *this;
    }
    int Get() const { return m_fd; }
    int Release() { return std::exchange(m_fd, -1); }
    void Reset(int fd = -1) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

// A listening socket on 127.0.0.1 and one connection through it, both ends. The accepted
// end is made without close-on-exec when asked, like a socket some library leaked.
struct CLoopbackPair {
    CFd m_listener, m_client, m_server;

    explicit CLoopbackPair(bool serverCloseOnExec = true) {
        m_listener.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        auto* raw = reinterpret_cast<sockaddr*>(&address);
        if (::bind(m_listener.Get(), raw, length) != 0 || ::listen(m_listener.Get(), 8) != 0 ||
            ::getsockname(m_listener.Get(), raw, &length) != 0)
            throw std::runtime_error("listen on loopback");
        m_client.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(m_client.Get(), raw, length) != 0) throw std::runtime_error("connect");
        m_server.Reset(
            ::accept4(m_listener.Get(), nullptr, nullptr, serverCloseOnExec ? SOCK_CLOEXEC : 0));
        if (m_server.Get() < 0) throw std::runtime_error("accept");
    }

    // Sends text from the client end; it waits in the server end's receive queue.
    void Send(const std::string& text) const {
        if (::send(m_client.Get(), text.data(), text.size(), 0) !=
            static_cast<ssize_t>(text.size()))
            throw std::runtime_error("send");
    }
};
