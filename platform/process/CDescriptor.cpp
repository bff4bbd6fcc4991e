#include "CDescriptor.h"

#include <unistd.h>

namespace Platform {

CDescriptor& CDescriptor::operator=(CDescriptor&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

int CDescriptor::release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void CDescriptor::reset(int fd) {
    // On Linux the number is released even when close reports EINTR: never retry.
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
}

}  // namespace Platform
