#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Platform {

// A temporary file that no other process can see and that nothing outlives: created
// unlinked under $TMPDIR (or the system's temporary directory), close-on-exec, so the new
// process of a hand-off never inherits it.
// Data sit at the offsets the owner chooses; unwritten ranges are holes and take no disk.
// Opening it makes the process ignore SIGXFSZ, so a file-size limit fails a write instead of
// ending the program.
// Written on the store's writer thread; read and released on the UI thread only in ranges
// whose write that thread has seen finish.
class CSpillFile {
public:
    CSpillFile();
    ~CSpillFile();
    CSpillFile(const CSpillFile&) = delete;
    CSpillFile& operator=(const CSpillFile&) = delete;

    // Writes all of data at nOffset, creating the file on first use. On failure returns
    // false and leaves the reason (the system's text) in Error().
    bool Write(std::uint64_t nOffset, const char* pData, std::size_t nSize);

    // Reads exactly nSize bytes at nOffset; false when the file cannot give them.
    bool Read(std::uint64_t nOffset, char* pData, std::size_t nSize) const;

    // Gives the disk space of a range back to the file system; its contents are gone.
    void Release(std::uint64_t nOffset, std::uint64_t nSize);

    // Empties the file, giving all its disk space back.
    void Truncate();

    // Why the last failed Write failed.
    const std::string& Error() const { return m_error; }

private:
    bool Open();

    int m_fd = -1;
    std::string m_error;
};

}  // namespace Platform
