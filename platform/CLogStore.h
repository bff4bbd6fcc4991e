#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "CSpillFile.h"

namespace Platform {

// The log's lines, kept for the life of the process in bounded memory.
//
// The text is one UTF-8 byte stream, every line followed by LF, cut into fixed chunks; a
// per-line index holds each line's 64-bit start offset, also in fixed chunks. Appending is a
// copy into the current chunk and an index store: nothing is allocated per line. Past the
// memory budget the oldest chunks (text and index) go to two unlinked temporary files, at
// the same offsets they have in the stream, and are read back with pread only when asked
// for. If the disk refuses a write, every line up to that point is released instead, disk
// space included, and DroppedLines/DropReason say so: the process never dies of a full disk.
//
// Lines are numbered from 0 over the whole life of the store; lines below FirstLine() are
// gone. Single-threaded (the UI thread).
class CLogStore {
public:
    // Anonymous memory the store may hold before it writes chunks to the disk.
    static constexpr std::size_t kMemoryBudget = 256u << 20;

    struct CLimits {
        std::size_t nMemoryBudget = kMemoryBudget;
        std::size_t nChunkBytes = 1u << 20;
        std::size_t nIndexChunkLines = 8192;
        // Where the stream starts, as if that many bytes had come and gone; lets a test reach
        // offsets past 2^32 without writing them.
        std::uint64_t nFirstByte = 0;
    };

    CLogStore();
    explicit CLogStore(const CLimits& limits);
    ~CLogStore();
    CLogStore(const CLogStore&) = delete;
    CLogStore& operator=(const CLogStore&) = delete;

    // Appends text as one line; CR LF, LF and CR inside it start further lines.
    void Append(std::string_view text);

    // Writes the oldest chunks to the disk while memory is over the budget, at most nMaxChunks
    // of them (each write is one chunk, so a caller bounds the time it spends). True when
    // more remains to write.
    bool Spill(std::size_t nMaxChunks);

    // Lines appended since the store was made, and the first one still kept.
    std::uint64_t LineCount() const { return m_nLines; }
    std::uint64_t FirstLine() const { return m_nFirstLine; }

    // Lines released because the disk refused them, and the system's reason.
    std::uint64_t DroppedLines() const { return m_nFirstLine; }
    const std::string& DropReason() const { return m_dropReason; }

    // Length of a kept line in bytes, without its LF.
    std::uint64_t LineLength(std::uint64_t nLine) const;
    // Up to nMax bytes of a kept line from byte nFrom on.
    std::string ReadLine(std::uint64_t nLine, std::uint64_t nFrom = 0,
                         std::size_t nMax = SIZE_MAX) const;

    // The stream: kept bytes are [FirstByte(), EndByte()); line n starts at LineStart(n).
    std::uint64_t FirstByte() const { return m_nFirstByte; }
    std::uint64_t EndByte() const { return m_nBytes; }
    std::uint64_t LineStart(std::uint64_t nLine) const;
    // The kept line holding byte nOffset.
    std::uint64_t LineAt(std::uint64_t nOffset) const;
    // Copies kept bytes [nOffset, nOffset + nSize); false if any of them is not kept.
    bool Read(std::uint64_t nOffset, char* pData, std::size_t nSize) const;

    // UTF-16 code units of the kept stream (each LF one unit), for offsets that accessibility
    // clients count in; CharsBefore(n) counts from FirstLine() to line n.
    std::uint64_t CharCount() const { return m_nChars - m_nFirstChar; }
    std::uint64_t CharsBefore(std::uint64_t nLine) const;
    // The kept line holding UTF-16 unit nChar (counted like CharsBefore), and in *pLineChar
    // the units before that line.
    std::uint64_t LineAtChar(std::uint64_t nChar, std::uint64_t* pLineChar) const;

    // The longest line so far, in bytes.
    std::uint64_t MaxLineLength() const { return m_nMaxLineBytes; }

    // UTF-16 code units of valid UTF-8 text, and the bytes of text that make its first
    // nUnits units.
    static std::uint64_t Utf16Units(const char* pText, std::size_t nSize);
    static std::size_t BytesForUnits(std::string_view text, std::uint64_t nUnits);

    // Anonymous memory the chunks hold now, and whether it is over the budget.
    std::size_t MemoryBytes() const;
    bool NeedsSpill() const { return MemoryBytes() > m_limits.nMemoryBudget; }

private:
    void AppendOne(const char* pText, std::size_t nSize);
    void CopyIn(const char* pText, std::size_t nSize);
    bool SpillText();
    bool SpillIndex();
    void DropBefore(std::uint64_t nLine, const std::string& reason);
    // UTF-16 units of the kept bytes [nFrom, nTo).
    std::uint64_t UnitsBetween(std::uint64_t nFrom, std::uint64_t nTo) const;
    // Absolute UTF-16 units before kept byte nOffset: from the nearest chunk start, so at
    // most one chunk is read whatever the lengths of the lines.
    std::uint64_t UnitsAt(std::uint64_t nOffset) const;
    // Absolute UTF-16 units before line nLine.
    std::uint64_t AbsoluteCharsBefore(std::uint64_t nLine) const;

    CLimits m_limits;

    // Text chunk m_nTextBase + i is m_text[i], with m_textUnits[i] UTF-16 units before its
    // first byte; the first m_nSpilledText are on the disk (null).
    std::deque<std::unique_ptr<char[]>> m_text;
    std::deque<std::uint64_t> m_textUnits;
    std::uint64_t m_nTextBase = 0;
    std::size_t m_nSpilledText = 0;
    // Index chunk m_nIndexBase + i is m_index[i]; the first m_nSpilledIndex are on the disk
    // (null).
    std::deque<std::unique_ptr<std::uint64_t[]>> m_index;
    std::uint64_t m_nIndexBase = 0;
    std::size_t m_nSpilledIndex = 0;

    std::uint64_t m_nBytes = 0;
    std::uint64_t m_nFirstByte = 0;
    std::uint64_t m_nLines = 0;
    std::uint64_t m_nFirstLine = 0;
    std::uint64_t m_nChars = 0;
    std::uint64_t m_nFirstChar = 0;
    std::uint64_t m_nMaxLineBytes = 0;
    std::string m_dropReason;

    CSpillFile m_textFile;
    CSpillFile m_indexFile;
};

}  // namespace Platform
