#include "Descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "ErrorText.h"

namespace Platform {

namespace {

bool GetIntOption(int fd, int option, int& value, int& error) {
    socklen_t length = sizeof value;
    if (::getsockopt(fd, SOL_SOCKET, option, &value, &length) == 0) return true;
    error = errno;
    return false;
}

}  // namespace

int DuplicateForNewProcess(int fd, std::string& reason) {
    // Numbers 0-2 are left alone so a duplicate never poses as a closed stdio stream.
    const int duplicate = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (duplicate < 0) reason = ErrorText("dup", errno);
    return duplicate;
}

bool CloseDescriptor(int fd, std::string& reason) {
    // On Linux the number is released even when close reports EINTR; never retry.
    if (::close(fd) == 0 || errno == EINTR) return true;
    reason = ErrorText("close", errno);
    return false;
}

int SetCloseOnExec(int fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags < 0 || ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0) return errno;
    return 0;
}

namespace {

// Whether fd names an open IPv4 TCP socket; listening tells whether it listens.
bool CheckTcpSocket(long long fd, int& listening, std::string& reason) {
    if (fd < 0 || fd > INT_MAX) {
        reason = "out of range";
        return false;
    }
    const int n = static_cast<int>(fd);
    if (::fcntl(n, F_GETFD) < 0) {
        reason = std::strerror(errno);
        return false;
    }
    int domain = 0, type = 0, protocol = 0, error = 0;
    if (!GetIntOption(n, SO_TYPE, type, error)) {
        reason = error == ENOTSOCK ? "not a socket" : std::strerror(error);
        return false;
    }
    if (type != SOCK_STREAM) {
        reason = "not a stream socket";
        return false;
    }
    if (!GetIntOption(n, SO_DOMAIN, domain, error) ||
        !GetIntOption(n, SO_PROTOCOL, protocol, error) ||
        !GetIntOption(n, SO_ACCEPTCONN, listening, error)) {
        reason = std::strerror(error);
        return false;
    }
    if (domain != AF_INET) {
        reason = "not an IPv4 socket";
        return false;
    }
    if (protocol != IPPROTO_TCP) {
        reason = "not a TCP socket";
        return false;
    }
    return true;
}

}  // namespace

bool CheckAdoptable(long long fd, std::string& reason) {
    int listening = 0;
    if (!CheckTcpSocket(fd, listening, reason)) return false;
    if (listening) {
        reason = "a listening socket";
        return false;
    }
    return true;
}

bool CheckListening(long long fd, std::string& reason) {
    int listening = 0;
    if (!CheckTcpSocket(fd, listening, reason)) return false;
    if (!listening) {
        reason = "not a listening socket";
        return false;
    }
    return true;
}

long long CountFreeDescriptors() {
    const long long nLimit = DescriptorLimit();
    DIR* const pDir = ::opendir("/proc/self/fd");
    if (nLimit < 0 || !pDir) return 0;
    long long nOpen = -1;  // the directory's own descriptor is listed too
    while (const dirent* pEntry = ::readdir(pDir)) nOpen += pEntry->d_name[0] != '.' ? 1 : 0;
    ::closedir(pDir);
    return nLimit > nOpen ? nLimit - nOpen : 0;
}

long long DescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
    return limit.rlim_cur == RLIM_INFINITY ? LLONG_MAX : static_cast<long long>(limit.rlim_cur);
}

long long RaiseDescriptorLimit(std::string& reason) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        reason = ErrorText("getrlimit", errno);
        return -1;
    }
    if (limit.rlim_cur != limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            reason = ErrorText("setrlimit", errno);
            return -1;
        }
    }
    return limit.rlim_cur == RLIM_INFINITY ? LLONG_MAX : static_cast<long long>(limit.rlim_cur);
}

}  // namespace Platform
