#include "CSpillFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Platform {

CSpillFile::CSpillFile() = default;

CSpillFile::~CSpillFile() {
    if (m_fd >= 0) ::close(m_fd);
}

bool CSpillFile::Open() {
    // A file-size limit would otherwise end the process at the first write past it; ignored,
    // the write fails with EFBIG and the owner drops lines as on a full disk.
    std::signal(SIGXFSZ, SIG_IGN);
    const char* pDir = std::getenv("TMPDIR");
    const std::string dir = pDir != nullptr && *pDir != '\0' ? pDir : P_tmpdir;
    // An O_TMPFILE file never has a name; where the file system lacks it, a named file is
    // unlinked at once, so a crash leaves nothing behind either way.
    m_fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        std::string path = dir + "/velmora-log-XXXXXX";
        m_fd = ::mkostemp(path.data(), O_CLOEXEC);
        if (m_fd >= 0) ::unlink(path.c_str());
    }
    if (m_fd < 0) m_error = std::strerror(errno);
    return m_fd >= 0;
}

bool CSpillFile::Write(std::uint64_t nOffset, const char* pData, std::size_t nSize) {
    if (m_fd < 0 && !Open()) return false;
    while (nSize > 0) {
        const ssize_t n = ::pwrite(m_fd, pData, nSize, static_cast<off_t>(nOffset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            m_error = std::strerror(n < 0 ? errno : ENOSPC);
            return false;
        }
        pData += n;
        nSize -= static_cast<std::size_t>(n);
        nOffset += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool CSpillFile::Read(std::uint64_t nOffset, char* pData, std::size_t nSize) const {
    if (m_fd < 0) return false;
    while (nSize > 0) {
        const ssize_t n = ::pread(m_fd, pData, nSize, static_cast<off_t>(nOffset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        pData += n;
        nSize -= static_cast<std::size_t>(n);
        nOffset += static_cast<std::uint64_t>(n);
    }
    return true;
}

void CSpillFile::Release(std::uint64_t nOffset, std::uint64_t nSize) {
    // A file system without hole punching keeps the space until the process ends.
    if (m_fd >= 0 && nSize > 0)
        (void)::fallocate(m_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                          static_cast<off_t>(nOffset), static_cast<off_t>(nSize));
}

void CSpillFile::Truncate() {
    if (m_fd < 0 || ::ftruncate(m_fd, 0) == 0) return;
    // Where the file cannot shrink, its space goes as a released range's does.
    const off_t nEnd = ::lseek(m_fd, 0, SEEK_END);
    if (nEnd > 0) Release(0, static_cast<std::uint64_t>(nEnd));
}

}  // namespace Platform
