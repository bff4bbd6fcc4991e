#include "ServiceNotify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "CDescriptor.h"
#include "ErrorText.h"

namespace Platform {

bool NotifyServiceManager(const std::string& state, std::string& reason) {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (!name || !*name) return true;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(name);
    if (length >= sizeof address.sun_path || (name[0] != '/' && name[0] != '@')) {
        reason = "NOTIFY_SOCKET=" + std::string(name) + ": not a socket path";
        return false;
    }
    std::memcpy(address.sun_path, name, length);
    if (name[0] == '@') address.sun_path[0] = '\0';
    // Non-blocking: a service manager that has fallen behind must never hold up the server.
    const CDescriptor socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket.valid()) {
        reason = ErrorText("socket", errno);
        return false;
    }
    const auto addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    if (::sendto(socket.get(), state.data(), state.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&address), addressLength) < 0) {
        reason = ErrorText("sendto", errno);
        return false;
    }
    return true;
}

}  // namespace Platform
