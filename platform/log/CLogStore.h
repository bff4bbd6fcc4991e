#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "CSpillFile.h"
#include "CSpillWriter.h"
#include "ChunkMemory.h"

namespace Platform {

// The log's lines, kept for the life of the process in bounded memory.
//
// The text is one UTF-8 byte stream, every line followed by LF, cut into fixed chunks; a
// per-line index holds each line's start, also in chunks: a 32-bit offset from its chunk's
// 64-bit base, so a line costs its text, its LF and four bytes. Each line's arrival time is
// kept in the same index chunk, once per run of lines that share it (the lines of one block
// do): the starts fill the chunk from its front, the runs (first line, time) from its back.
// An index chunk is closed when the two meet, or early when its lines would span more than
// the 32 bits (lines of megabytes). Times thus cost next to nothing when lines come in
// blocks, and at worst (one line per time) 12 bytes more a line, which spill with the index.
// Appending is a copy into the current chunk and an index store: nothing is allocated per
// line. Past the memory budget the oldest chunks (text and index) go to two unlinked
// temporary files, at the same offsets they have in the stream, and are read back with
// pread only when asked for. The writes happen on a writer thread: a full chunk never changes, so
// it is handed over whole and read from memory until the write is seen to finish; its buffer then
// serves a later chunk. If the disk refuses a write, every line up to that point is released
// instead, disk space included, and DroppedLines/DropReason say so: the process never dies of a
// full disk.
//
// Lines are numbered from 0 over the whole life of the store; lines below FirstLine() are
// gone. Used on one thread (the UI thread); only the writer runs beside it.
class CLogStore {
public:
    // Anonymous memory the store may hold before it writes chunks to the disk.
    static constexpr std::size_t kMemoryBudget = 256u << 20;

    struct CLimits {
        std::size_t nMemoryBudget = kMemoryBudget;
        std::size_t nChunkBytes = 2u << 20;
        // Words of an index chunk: a line's start takes one, a run of lines that share a time
        // three, so at least 4.
        std::size_t nIndexChunkLines = 8192;
        // Where the stream starts, as if that many bytes had come and gone; lets a test reach
        // offsets past 2^32 without writing them.
        std::uint64_t nFirstByte = 0;
        // The widest span of the stream one index chunk covers; lets a test close chunks
        // early without writing gigabytes.
        std::uint64_t nIndexSpan = UINT32_MAX;
    };

    CLogStore();
    explicit CLogStore(const CLimits& limits);
    ~CLogStore();
    CLogStore(const CLogStore&) = delete;
    CLogStore& operator=(const CLogStore&) = delete;

    // Appends text as one line; CR LF, LF and CR inside it start further lines. Every line
    // it makes arrived at nTime, in milliseconds since the epoch.
    void Append(std::string_view text, std::int64_t nTime);
    // Appends like Append, taking the text's buffer: the whole chunks a long text covers are
    // served from it rather than copied into fresh memory, so a line of many megabytes costs
    // little more than counting it.
    void Adopt(std::string&& text, std::int64_t nTime);

    // Lets every line go, in memory and on the disk (the spill files are emptied), and starts
    // again as a new store: lines are counted from 0 and nothing is dropped. Waits for the
    // writes in flight, at most a few chunks.
    void Clear();

    // Finishes the spills the writer is done with (a refused one drops lines), then hands it
    // the oldest chunks while memory not yet handed over is above the budget, at most
    // nMaxChunks of them. True while chunks remain to hand over; NeedsSpill() stays true
    // until the spills in flight are finished too.
    bool Spill(std::size_t nMaxChunks);

    // Called on the writer thread when done writes wait for Spill to end their spills.
    void SetOnWritten(std::function<void()> onWritten);

    // Lines appended since the store was made, and the first one still kept.
    std::uint64_t LineCount() const { return m_nLines; }
    std::uint64_t FirstLine() const { return m_nFirstLine; }

    // Lines released because the disk refused them, and the system's reason.
    std::uint64_t DroppedLines() const { return m_nFirstLine; }
    const std::string& DropReason() const { return m_dropReason; }

    // Length of a kept line in bytes, without its LF.
    std::uint64_t LineLength(std::uint64_t nLine) const;
    // When a kept line arrived, in milliseconds since the epoch (0 for a line not kept).
    std::int64_t LineTime(std::uint64_t nLine) const;
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
    // The byte where the character holding UTF-16 unit nChar starts (EndByte() past the end),
    // and in *pByteChar the units before that byte; and the units before kept byte nOffset.
    // Both read at most one chunk, wherever the offset lies in a line of any length.
    std::uint64_t ByteAtChar(std::uint64_t nChar, std::uint64_t* pByteChar) const;
    std::uint64_t CharsAtByte(std::uint64_t nOffset) const;

    // The longest line so far, in bytes.
    std::uint64_t MaxLineLength() const { return m_nMaxLineBytes; }

    // Anonymous memory the chunks hold now, those being written included (besides it, at most
    // kSpareChunks freed buffers of each kind are kept for reuse), and whether Spill has work.
    std::size_t MemoryBytes() const;
    bool NeedsSpill() const { return m_nWriting > 0 || HeldBytes() > m_limits.nMemoryBudget; }

    static constexpr std::size_t kSpareChunks = 16;
    // Bytes the writer may have in hand. A disk slower than the flood then holds the UI
    // thread in Spill, so the socket's back-pressure bounds memory rather than the writer's
    // queue growing.
    static constexpr std::size_t kMaxWritingBytes = 64u << 20;

private:
    // An index chunk: the starts of lines nFirstLine on, as offsets from nBase, from word 0
    // on; and nRuns runs of lines sharing a time, run k in the kRunWords words that end
    // k * kRunWords before the chunk's end: its first line (counted from nFirstLine), then
    // the time's low and high 32 bits. Run 0 starts at the chunk's first line.
    struct CIndexChunk {
        std::unique_ptr<std::uint32_t[]> pOwned;
        const std::uint32_t* pData = nullptr;  // null once on the disk or being written
        std::uint64_t nFirstLine = 0;
        std::uint64_t nBase = 0;
        std::uint32_t nRuns = 0;
        std::int64_t nLastTime = 0;  // the last run's time
    };
    static constexpr std::size_t kRunWords = 3;
    // The kept index chunk holding line nLine.
    std::size_t IndexChunkOf(std::uint64_t nLine) const;
    std::size_t IndexChunkBytes() const {
        return m_limits.nIndexChunkLines * sizeof(std::uint32_t);
    }
    // Copies nCount words of kept index chunk i from word nWord on, from memory or the disk.
    void ReadIndexWords(std::size_t i, std::size_t nWord, std::size_t nCount,
                        std::uint32_t* pWords) const;
    // The first word of run k in an index chunk.
    std::size_t RunWord(std::uint32_t k) const {
        return m_limits.nIndexChunkLines - (k + 1) * kRunWords;
    }

    // A chunk's bytes are in memory while pData is set. They live in pOwned, or for a whole
    // chunk inside a long appended text, in that text (spText, shared by its chunks); either
    // is null once the chunk is handed to the writer, which keeps the bytes until Spill takes
    // them back.
    struct CTextChunk {
        CChunkMemory pOwned;
        std::shared_ptr<const std::string> spText;
        const char* pData = nullptr;
    };

    // Memory not handed to the writer.
    std::size_t HeldBytes() const;
    // Ends the spill of a chunk the writer is done with: written, its memory goes (the buffer
    // kept for reuse) or, dropped meanwhile, its disk space; refused, the lines up to it go.
    void FinishSpill(CSpillWriter::CJob job);
    std::size_t WritingBytes() const;
    // spText, when set, holds the bytes being appended and may serve whole chunks.
    void AppendLines(std::string_view text, std::int64_t nTime,
                     const std::shared_ptr<const std::string>& spText);
    // The index entry of a line of nSize bytes starting at byte nOffset of the stream, which
    // arrived at nTime.
    void IndexLine(std::uint64_t nOffset, std::size_t nSize, std::int64_t nTime);
    void CopyIn(const char* pText, std::size_t nSize,
                const std::shared_ptr<const std::string>& spText);
    void SpillText();
    void SpillIndex();
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
    // first byte; the first m_nSpilledText are on the disk or being written.
    std::deque<CTextChunk> m_text;
    std::deque<std::uint64_t> m_textUnits;
    std::uint64_t m_nTextBase = 0;
    std::size_t m_nSpilledText = 0;
    // Index chunk m_nIndexBase + i is m_index[i], at that slot of the index file; the first
    // m_nSpilledIndex are on the disk or being written.
    std::deque<CIndexChunk> m_index;
    std::uint64_t m_nIndexBase = 0;
    std::size_t m_nSpilledIndex = 0;
    // Chunks handed to the writer and not yet finished, and how many of them are text.
    std::size_t m_nWriting = 0;
    std::size_t m_nWritingText = 0;
    std::vector<CChunkMemory> m_spareText;
    std::vector<std::unique_ptr<std::uint32_t[]>> m_spareIndex;

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
    // Last: joined before the files close and the chunks go.
    CSpillWriter m_writer;
};

}  // namespace Platform
