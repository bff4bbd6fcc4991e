#pragma once

namespace Platform {

// Owns one descriptor: closes it on destruction unless release() handed it over first.
// Move-only, so a descriptor has exactly one owner at any moment.
class CDescriptor {
public:
    CDescriptor() = default;
    explicit CDescriptor(int fd) : m_fd(fd) {}
    CDescriptor(CDescriptor&& other) noexcept : m_fd(other.release()) {}
    CDescriptor& operator=(CDescriptor&& other) noexcept;
    CDescriptor(const CDescriptor&) = delete;
    CDescriptor& operator=(const CDescriptor&) = delete;
    ~CDescriptor() { reset(); }

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    // Gives up ownership: the caller (or whoever it hands the number to) closes it.
    int release();
    // Closes the owned descriptor, if any, and owns fd instead.
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

}  // namespace Platform
