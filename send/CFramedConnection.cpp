#include "CFramedConnection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

// "a.b.c.d:port" or "[v6]:port"; the numeric form, whatever name was resolved.
std::string EndpointText(const sockaddr* address, socklen_t length) {
    char host[NI_MAXHOST];
    char port[NI_MAXSERV];
    if (getnameinfo(address, length, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return "?";
    }
    if (address->sa_family == AF_INET6) return std::string("[") + host + "]:" + port;
    return std::string(host) + ":" + port;
}

std::string Reason(const char* step, const std::string& peer, int error) {
    return std::string(step) + " " + peer + ": " + std::strerror(error);
}

}  // namespace

CFramedConnection::~CFramedConnection() {
    if (m_fd >= 0) close(m_fd);
}

bool CFramedConnection::Connect(const std::string& host, const std::string& port,
                                std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int status = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (status != 0) {
        error = "resolve " + host + ": " +
                (status == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(status));
        return false;
    }
    error = "resolve " + host + ": no address";
    for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        const std::string peer = EndpointText(entry->ai_addr, entry->ai_addrlen);
        const int fd = socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC,
                              entry->ai_protocol);
        if (fd < 0) {
            error = Reason("socket", peer, errno);
            continue;
        }
        int result;
        do {
            result = connect(fd, entry->ai_addr, entry->ai_addrlen);
        } while (result != 0 && errno == EINTR);
        if (result == 0) {
            m_fd = fd;
            m_peer = peer;
            break;
        }
        error = Reason("connect", peer, errno);
        close(fd);
    }
    freeaddrinfo(found);
    if (m_fd < 0) return false;
    error.clear();
    return true;
}

bool CFramedConnection::Send(const char* data, std::size_t size, std::string& error) {
    const std::uint32_t length = static_cast<std::uint32_t>(size);
    const unsigned char header[4] = {
        static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
        static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 24)};
    iovec parts[2] = {{const_cast<unsigned char*>(header), sizeof header},
                      {const_cast<char*>(data), size}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    // Header and body in one call, so a message typed line by line leaves as one segment.
    while (parts[0].iov_len + parts[1].iov_len > 0) {
        // MSG_NOSIGNAL: a server that went away is an error line, not SIGPIPE.
        const ssize_t written = sendmsg(m_fd, &message, MSG_NOSIGNAL);
        if (written < 0) {
            if (errno == EINTR) continue;
            error = Reason("send", m_peer, errno);
            return false;
        }
        std::size_t rest = static_cast<std::size_t>(written);
        for (iovec& part : parts) {
            const std::size_t taken = rest < part.iov_len ? rest : part.iov_len;
            part.iov_base = static_cast<char*>(part.iov_base) + taken;
            part.iov_len -= taken;
            rest -= taken;
        }
        if (parts[0].iov_len == 0) {
            message.msg_iov = parts + 1;
            message.msg_iovlen = 1;
        }
    }
    return true;
}

bool CFramedConnection::Finish(std::string& error) {
    if (shutdown(m_fd, SHUT_WR) != 0) {
        error = Reason("shutdown", m_peer, errno);
        return false;
    }
    const int fd = m_fd;
    m_fd = -1;
    if (close(fd) != 0 && errno != EINTR) {
        error = Reason("close", m_peer, errno);
        return false;
    }
    return true;
}
