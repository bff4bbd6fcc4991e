#include "HandOffState.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "ErrorText.h"

namespace Platform {

namespace {

constexpr std::size_t kHeaderSize = 8;
// What one connection's state can hold: a length header, a body of up to 64 MiB, and the
// frames read ahead with it (at most one read buffer and a direct read's look-ahead).
constexpr std::uint64_t kMaxConnectionState = 4 + (64u << 20) + 64 * 1024 + 4 * 1024;

void PutUint32(std::vector<char>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(value >> shift));
}

std::uint32_t GetUint32(const char* p) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(p[i]);
    return value;
}

}  // namespace

std::vector<char> CHandOffState::Encode() const {
    std::size_t size = 0;
    for (const auto& entry : m_pending) size += kHeaderSize + entry.second.size();
    std::vector<char> out;
    out.reserve(size);
    for (const auto& [fd, bytes] : m_pending) {
        PutUint32(out, static_cast<std::uint32_t>(fd));
        PutUint32(out, static_cast<std::uint32_t>(bytes.size()));
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
}

bool CHandOffState::Decode(const std::vector<char>& blob, CHandOffState& state,
                           std::string& problem) {
    state.m_pending.clear();
    std::size_t offset = 0;
    while (offset < blob.size()) {
        const std::size_t left = blob.size() - offset;
        if (left < kHeaderSize) {
            problem = "truncated record header at offset " + std::to_string(offset);
            return false;
        }
        const auto fd = static_cast<std::int32_t>(GetUint32(blob.data() + offset));
        const std::uint32_t length = GetUint32(blob.data() + offset + 4);
        if (length > left - kHeaderSize) {
            problem = "record for descriptor " + std::to_string(fd) + " at offset " +
                      std::to_string(offset) + " claims " + std::to_string(length) + " bytes, " +
                      std::to_string(left - kHeaderSize) + " left";
            return false;
        }
        if (fd < 0) {
            problem = "bad descriptor number " + std::to_string(fd) + " at offset " +
                      std::to_string(offset);
            return false;
        }
        const char* bytes = blob.data() + offset + kHeaderSize;
        if (!state.m_pending.emplace(fd, std::vector<char>(bytes, bytes + length)).second) {
            problem = "descriptor " + std::to_string(fd) + " listed twice";
            return false;
        }
        offset += kHeaderSize + length;
    }
    return true;
}

int CHandOffState::WriteToMemfd(std::string& reason) const {
    const int fd = ::memfd_create("velmora-handoff-state", MFD_CLOEXEC);
    if (fd < 0) {
        reason = ErrorText("memfd_create", errno);
        return -1;
    }
    const std::vector<char> blob = Encode();
    std::size_t written = 0;
    while (written < blob.size()) {
        const ssize_t n = ::write(fd, blob.data() + written, blob.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            reason = ErrorText("write", n < 0 ? errno : EIO);
            ::close(fd);
            return -1;
        }
        written += static_cast<std::size_t>(n);
    }
    return fd;
}

bool CHandOffState::IsMemfd(int fd) {
    // Only shared-memory files answer F_GET_SEALS.
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::fcntl(fd, F_GET_SEALS) >= 0;
}

std::uint64_t CHandOffState::MaxSize(std::size_t nConnections) {
    return nConnections * (kHeaderSize + kMaxConnectionState);
}

bool CHandOffState::ReadFromMemfd(int fd, std::size_t nConnections, CHandOffState& state,
                                  std::string& problem) {
    state.m_pending.clear();
    struct stat info {};
    if (!IsMemfd(fd) || ::fstat(fd, &info) != 0) {
        problem = "descriptor " + std::to_string(fd) + " is not a memfd";
        return false;
    }
    // Judged before a byte is read: a huge (even sparse) file would take long to read.
    const std::uint64_t nMax = MaxSize(nConnections);
    if (static_cast<std::uint64_t>(info.st_size) > nMax) {
        problem = std::to_string(info.st_size) + " bytes, more than " +
                  std::to_string(nConnections) + " connections can leave (" +
                  std::to_string(nMax) + " bytes); not read";
        return false;
    }
    // pread: the open file description, and so its offset, is shared with the writer.
    std::vector<char> blob;
    blob.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(blob.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            problem = ErrorText("read", errno);
            return false;
        }
        if (n == 0) break;
        blob.insert(blob.end(), buffer, buffer + n);
    }
    return Decode(blob, state, problem);
}

}  // namespace Platform
