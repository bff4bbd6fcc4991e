#include "ConfirmationSocketPair.h"

#include <sys/socket.h>

#include <cerrno>

#include "ErrorText.h"

namespace Platform {

bool CreateConfirmationSocketPair(CDescriptor& parentEnd, CDescriptor& newProcessEnd,
                                  std::string& reason) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        reason = ErrorText("socketpair", errno);
        return false;
    }
    parentEnd.reset(ends[0]);
    newProcessEnd.reset(ends[1]);
    return true;
}

bool IsConfirmationSocket(int fd) {
    int domain = 0, type = 0;
    socklen_t length = sizeof domain;
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0) return false;
    length = sizeof type;
    return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && domain == AF_UNIX &&
           type == SOCK_STREAM;
}

}  // namespace Platform
