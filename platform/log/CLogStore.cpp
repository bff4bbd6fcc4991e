#include "CLogStore.h"

#include <algorithm>
#include <cstring>

#include "Utf8.h"

namespace Platform {

namespace {

constexpr std::size_t kScanBlock = 16 * 1024;

}  // namespace

std::uint64_t CLogStore::UnitsBetween(std::uint64_t nFrom, std::uint64_t nTo) const {
    std::uint64_t nUnits = 0;
    char block[kScanBlock];
    while (nFrom < nTo) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(kScanBlock, nTo - nFrom));
        if (!Read(nFrom, block, n)) break;
        nUnits += Utf8::Utf16Units(block, n);
        nFrom += n;
    }
    return nUnits;
}

CLogStore::CLogStore() : CLogStore(CLimits()) {}

CLogStore::CLogStore(const CLimits& limits)
    : m_limits(limits),
      m_nTextBase(limits.nFirstByte / limits.nChunkBytes),
      m_nBytes(limits.nFirstByte),
      m_nFirstByte(limits.nFirstByte) {}

CLogStore::~CLogStore() = default;

void CLogStore::Clear() {
    // The writer holds chunks and file ranges the state below refers to.
    while (m_nWriting > 0) {
        m_writer.WaitForFinished();
        m_nWriting -= m_writer.Finished().size();
    }
    m_nWritingText = 0;
    m_text.clear();
    m_textUnits.clear();
    m_index.clear();
    m_nSpilledText = 0;
    m_nSpilledIndex = 0;
    m_nTextBase = m_limits.nFirstByte / m_limits.nChunkBytes;
    m_nIndexBase = 0;
    m_nBytes = m_nFirstByte = m_limits.nFirstByte;
    m_nLines = m_nFirstLine = 0;
    m_nChars = m_nFirstChar = 0;
    m_nMaxLineBytes = 0;
    m_dropReason.clear();
    m_textFile.Truncate();
    m_indexFile.Truncate();
}

void CLogStore::SetOnWritten(std::function<void()> onWritten) {
    m_writer.SetOnFinished(std::move(onWritten));
}

void CLogStore::Append(std::string_view text, std::int64_t nTime) {
    AppendLines(text, nTime, nullptr);
}

void CLogStore::Adopt(std::string&& text, std::int64_t nTime) {
    // A shorter text can never fill a chunk of its own.
    if (text.size() < m_limits.nChunkBytes) {
        AppendLines(text, nTime, nullptr);
        return;
    }
    const auto spText = std::make_shared<const std::string>(std::move(text));
    AppendLines(*spText, nTime, spText);
}

void CLogStore::AppendLines(std::string_view text, std::int64_t nTime,
                            const std::shared_ptr<const std::string>& spText) {
    const char* p = text.data();
    const char* const pEnd = p + text.size();
    if (std::memchr(p, '\r', text.size()) == nullptr) {
        // Broken by LF alone, the text is already in the stream's form: each line gets its
        // index entry, then the whole text goes in with one copy.
        const std::uint64_t nFirst = m_nBytes;
        for (;;) {
            const auto* pLf = static_cast<const char*>(std::memchr(p, '\n', pEnd - p));
            const char* pBreak = pLf != nullptr ? pLf : pEnd;
            IndexLine(nFirst + (p - text.data()), pBreak - p, nTime);
            if (pLf == nullptr) break;
            p = pLf + 1;
        }
        CopyIn(text.data(), text.size(), spText);
        CopyIn("\n", 1, nullptr);
        return;
    }
    for (;;) {
        const auto* pLf = static_cast<const char*>(std::memchr(p, '\n', pEnd - p));
        const char* pBreak = pLf != nullptr ? pLf : pEnd;
        const auto* pCr = static_cast<const char*>(std::memchr(p, '\r', pBreak - p));
        if (pCr != nullptr) pBreak = pCr;
        IndexLine(m_nBytes, pBreak - p, nTime);
        CopyIn(p, pBreak - p, spText);
        CopyIn("\n", 1, nullptr);
        if (pBreak == pEnd) return;
        p = pBreak + 1;
        if (*pBreak == '\r' && p != pEnd && *p == '\n') ++p;
    }
}

void CLogStore::IndexLine(std::uint64_t nOffset, std::size_t nSize, std::int64_t nTime) {
    const auto fits = [this, nTime](const CIndexChunk& chunk) {
        const std::uint64_t nRuns = chunk.nRuns + (chunk.nLastTime != nTime ? 1 : 0);
        return m_nLines - chunk.nFirstLine + 1 + nRuns * kRunWords <= m_limits.nIndexChunkLines;
    };
    if (m_index.empty() || !fits(m_index.back()) ||
        nOffset - m_index.back().nBase > m_limits.nIndexSpan) {
        CIndexChunk chunk;
        if (!m_spareIndex.empty()) {
            chunk.pOwned = std::move(m_spareIndex.back());
            m_spareIndex.pop_back();
        } else {
            chunk.pOwned.reset(new std::uint32_t[m_limits.nIndexChunkLines]);
        }
        chunk.pData = chunk.pOwned.get();
        chunk.nFirstLine = m_nLines;
        chunk.nBase = nOffset;
        m_index.push_back(std::move(chunk));
    }
    CIndexChunk& chunk = m_index.back();
    const auto nEntry = static_cast<std::uint32_t>(m_nLines - chunk.nFirstLine);
    if (chunk.nRuns == 0 || chunk.nLastTime != nTime) {
        std::uint32_t* const pRun = chunk.pOwned.get() + RunWord(chunk.nRuns);
        pRun[0] = nEntry;
        pRun[1] = static_cast<std::uint32_t>(static_cast<std::uint64_t>(nTime));
        pRun[2] = static_cast<std::uint32_t>(static_cast<std::uint64_t>(nTime) >> 32);
        ++chunk.nRuns;
        chunk.nLastTime = nTime;
    }
    chunk.pOwned[nEntry] = static_cast<std::uint32_t>(nOffset - chunk.nBase);
    ++m_nLines;
    m_nMaxLineBytes = std::max<std::uint64_t>(m_nMaxLineBytes, nSize);
}

std::size_t CLogStore::IndexChunkOf(std::uint64_t nLine) const {
    // Chunks of lines that came in blocks are nearly full, so the guess from a line count is
    // seldom off; where it is, a binary search.
    const std::uint64_t nGuess = (nLine - m_index.front().nFirstLine) / m_limits.nIndexChunkLines;
    if (nGuess < m_index.size() && m_index[nGuess].nFirstLine <= nLine &&
        (nGuess + 1 == m_index.size() || nLine < m_index[nGuess + 1].nFirstLine))
        return static_cast<std::size_t>(nGuess);
    const auto it = std::upper_bound(
        m_index.begin(), m_index.end(), nLine,
        [](std::uint64_t n, const CIndexChunk& chunk) { return n < chunk.nFirstLine; });
    return static_cast<std::size_t>(it - m_index.begin()) - 1;
}

void CLogStore::CopyIn(const char* pText, std::size_t nSize,
                       const std::shared_ptr<const std::string>& spText) {
    const std::size_t nChunk = m_limits.nChunkBytes;
    while (nSize > 0) {
        const std::uint64_t nIndex = m_nBytes / nChunk;
        if (spText != nullptr && m_nBytes % nChunk == 0 && nSize >= nChunk) {
            // Read in place: the text's pages are mapped already, where fresh chunks would
            // have to be faulted in and filled. It is full at once, so nothing writes it.
            CTextChunk chunk;
            chunk.spText = spText;
            chunk.pData = pText;
            m_text.push_back(std::move(chunk));
            m_textUnits.push_back(m_nChars);
            m_nChars += Utf8::Utf16Units(pText, nChunk);
            pText += nChunk;
            nSize -= nChunk;
            m_nBytes += nChunk;
            continue;
        }
        if (nIndex >= m_nTextBase + m_text.size()) {
            // A buffer the writer gave back has its pages mapped already.
            CTextChunk chunk;
            if (!m_spareText.empty()) {
                chunk.pOwned = std::move(m_spareText.back());
                m_spareText.pop_back();
            } else {
                chunk.pOwned = MapChunk(nChunk);
            }
            chunk.pData = chunk.pOwned.get();
            m_text.push_back(std::move(chunk));
            m_textUnits.push_back(m_nChars);
        }
        const std::size_t nOffset = m_nBytes % nChunk;
        const std::size_t nCopy = std::min(nSize, nChunk - nOffset);
        std::memcpy(m_text.back().pOwned.get() + nOffset, pText, nCopy);
        // Counted per byte, so a character cut by the chunk's end is counted once.
        m_nChars += Utf8::Utf16Units(pText, nCopy);
        pText += nCopy;
        nSize -= nCopy;
        m_nBytes += nCopy;
    }
}

std::size_t CLogStore::MemoryBytes() const { return HeldBytes() + WritingBytes(); }

std::size_t CLogStore::WritingBytes() const {
    const std::size_t nWritingIndex = m_nWriting - m_nWritingText;
    return m_nWritingText * m_limits.nChunkBytes +
           nWritingIndex * IndexChunkBytes();
}

std::size_t CLogStore::HeldBytes() const {
    return (m_text.size() - m_nSpilledText) * m_limits.nChunkBytes +
           (m_index.size() - m_nSpilledIndex) * IndexChunkBytes();
}

bool CLogStore::Spill(std::size_t nMaxChunks) {
    for (CSpillWriter::CJob& job : m_writer.Finished()) FinishSpill(std::move(job));
    // The newest chunk of each kind is still being filled and stays in memory.
    const auto canText = [this] { return m_nSpilledText + 1 < m_text.size(); };
    const auto canIndex = [this] { return m_nSpilledIndex + 1 < m_index.size(); };
    for (; nMaxChunks > 0 && HeldBytes() > m_limits.nMemoryBudget; --nMaxChunks) {
        while (WritingBytes() >= kMaxWritingBytes) {
            m_writer.WaitForFinished();
            for (CSpillWriter::CJob& job : m_writer.Finished()) FinishSpill(std::move(job));
        }
        // A refused write may have dropped lines meanwhile.
        if (HeldBytes() <= m_limits.nMemoryBudget) break;
        const std::size_t nTextBytes = (m_text.size() - m_nSpilledText) * m_limits.nChunkBytes;
        const std::size_t nIndexBytes = HeldBytes() - nTextBytes;
        // Text goes first; the index follows once it holds more than a quarter of the memory.
        if (canText() && (!canIndex() || nTextBytes >= 3 * nIndexBytes))
            SpillText();
        else if (canIndex())
            SpillIndex();
        else
            break;
    }
    return HeldBytes() > m_limits.nMemoryBudget && (canText() || canIndex());
}

void CLogStore::SpillText() {
    CTextChunk& chunk = m_text[m_nSpilledText];
    CSpillWriter::CJob job;
    job.pFile = &m_textFile;
    job.nChunk = m_nTextBase + m_nSpilledText;
    job.nOffset = job.nChunk * m_limits.nChunkBytes;
    job.nBytes = m_limits.nChunkBytes;
    job.pData = chunk.pData;
    job.pText = std::move(chunk.pOwned);
    job.spText = std::move(chunk.spText);
    m_writer.Hand(std::move(job));
    ++m_nSpilledText;
    ++m_nWriting;
    ++m_nWritingText;
}

void CLogStore::SpillIndex() {
    CIndexChunk& chunk = m_index[m_nSpilledIndex];
    CSpillWriter::CJob job;
    job.pFile = &m_indexFile;
    job.nChunk = m_nIndexBase + m_nSpilledIndex;
    job.nBytes = IndexChunkBytes();
    job.nOffset = job.nChunk * job.nBytes;
    job.pIndex = std::move(chunk.pOwned);
    job.pData = reinterpret_cast<const char*>(job.pIndex.get());
    m_writer.Hand(std::move(job));
    ++m_nSpilledIndex;
    ++m_nWriting;
}

void CLogStore::FinishSpill(CSpillWriter::CJob job) {
    --m_nWriting;
    const bool bText = job.pFile == &m_textFile;
    if (bText) --m_nWritingText;
    const std::uint64_t nBase = bText ? m_nTextBase : m_nIndexBase;
    if (job.nChunk < nBase) {
        // Dropped while it was being written: its disk space goes too.
        if (job.bWritten) job.pFile->Release(job.nOffset, job.nBytes);
    } else if (job.bWritten) {
        const std::size_t i = static_cast<std::size_t>(job.nChunk - nBase);
        if (bText)
            m_text[i].pData = nullptr;
        else
            m_index[i].pData = nullptr;
    } else if (bText) {
        // Nothing that starts in or before the refused chunk can be kept.
        const std::uint64_t nEnd = (job.nChunk + 1) * m_limits.nChunkBytes;
        DropBefore(LineAt(nEnd - 1) + 1, job.error);
    } else {
        const std::size_t iNext = static_cast<std::size_t>(job.nChunk + 1 - m_nIndexBase);
        DropBefore(iNext < m_index.size() ? m_index[iNext].nFirstLine : m_nLines, job.error);
    }
    // A chunk served from an appended text lets go of it here; the text is freed with the
    // last of its chunks.
    if (bText && job.pText != nullptr && m_spareText.size() < kSpareChunks)
        m_spareText.push_back(std::move(job.pText));
    else if (!bText && m_spareIndex.size() < kSpareChunks)
        m_spareIndex.push_back(std::move(job.pIndex));
}

void CLogStore::DropBefore(std::uint64_t nLine, const std::string& reason) {
    nLine = std::max(nLine, m_nFirstLine);
    // Taken while everything before is still readable.
    const std::uint64_t nFirstChar = nLine < m_nLines ? AbsoluteCharsBefore(nLine) : m_nChars;
    const std::uint64_t nFirstByte = nLine < m_nLines ? LineStart(nLine) : m_nBytes;

    const std::uint64_t nTextKeep = nFirstByte / m_limits.nChunkBytes;
    // A chunk being written comes back to FinishSpill, which releases its disk space then.
    while (m_nTextBase < nTextKeep && m_text.size() > 1) {
        if (m_nSpilledText > 0) {
            if (m_text.front().pData == nullptr)
                m_textFile.Release(m_nTextBase * m_limits.nChunkBytes, m_limits.nChunkBytes);
            --m_nSpilledText;
        }
        m_text.pop_front();
        m_textUnits.pop_front();
        ++m_nTextBase;
    }
    const std::size_t nIndexBytes = IndexChunkBytes();
    while (m_index.size() > 1 && m_index[1].nFirstLine <= nLine) {
        if (m_nSpilledIndex > 0) {
            if (m_index.front().pData == nullptr)
                m_indexFile.Release(m_nIndexBase * nIndexBytes, nIndexBytes);
            --m_nSpilledIndex;
        }
        m_index.pop_front();
        ++m_nIndexBase;
    }
    m_nFirstLine = nLine;
    m_nFirstByte = nFirstByte;
    m_nFirstChar = nFirstChar;
    m_dropReason = reason;
}

void CLogStore::ReadIndexWords(std::size_t i, std::size_t nWord, std::size_t nCount,
                               std::uint32_t* pWords) const {
    const CIndexChunk& chunk = m_index[i];
    if (chunk.pData != nullptr) {
        std::copy_n(chunk.pData + nWord, nCount, pWords);
        return;
    }
    std::fill_n(pWords, nCount, 0);
    m_indexFile.Read((m_nIndexBase + i) * IndexChunkBytes() + nWord * sizeof *pWords,
                     reinterpret_cast<char*>(pWords), nCount * sizeof *pWords);
}

std::uint64_t CLogStore::LineStart(std::uint64_t nLine) const {
    if (nLine >= m_nLines) return m_nBytes;
    const std::size_t i = IndexChunkOf(nLine);
    std::uint32_t nStart = 0;
    ReadIndexWords(i, static_cast<std::size_t>(nLine - m_index[i].nFirstLine), 1, &nStart);
    return m_index[i].nBase + nStart;
}

std::int64_t CLogStore::LineTime(std::uint64_t nLine) const {
    if (nLine < m_nFirstLine || nLine >= m_nLines) return 0;
    const std::size_t i = IndexChunkOf(nLine);
    const CIndexChunk& chunk = m_index[i];
    const auto nEntry = static_cast<std::uint32_t>(nLine - chunk.nFirstLine);
    // The last run that starts at or before the line; run 0 starts at the chunk's first.
    std::uint32_t nLow = 0;
    std::uint32_t nHigh = chunk.nRuns;
    while (nHigh - nLow > 1) {
        const std::uint32_t nMid = nLow + (nHigh - nLow) / 2;
        std::uint32_t nFirst = 0;
        ReadIndexWords(i, RunWord(nMid), 1, &nFirst);
        if (nFirst <= nEntry)
            nLow = nMid;
        else
            nHigh = nMid;
    }
    std::uint32_t run[kRunWords] = {};
    ReadIndexWords(i, RunWord(nLow), kRunWords, run);
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(run[2]) << 32 | run[1]);
}

std::uint64_t CLogStore::LineLength(std::uint64_t nLine) const {
    return LineStart(nLine + 1) - LineStart(nLine) - 1;
}

std::uint64_t CLogStore::LineAt(std::uint64_t nOffset) const {
    // The last kept line whose start is at or before nOffset.
    std::uint64_t nLow = m_nFirstLine;
    std::uint64_t nHigh = m_nLines;
    while (nHigh - nLow > 1) {
        const std::uint64_t nMid = nLow + (nHigh - nLow) / 2;
        if (LineStart(nMid) <= nOffset)
            nLow = nMid;
        else
            nHigh = nMid;
    }
    return nLow;
}

bool CLogStore::Read(std::uint64_t nOffset, char* pData, std::size_t nSize) const {
    if (nOffset < m_nFirstByte || nOffset + nSize > m_nBytes) return false;
    const std::size_t nChunkBytes = m_limits.nChunkBytes;
    while (nSize > 0) {
        const std::size_t i = static_cast<std::size_t>(nOffset / nChunkBytes - m_nTextBase);
        const std::size_t nWithin = nOffset % nChunkBytes;
        const std::size_t nCopy = std::min(nSize, nChunkBytes - nWithin);
        if (m_text[i].pData != nullptr)
            std::memcpy(pData, m_text[i].pData + nWithin, nCopy);
        else if (!m_textFile.Read(nOffset, pData, nCopy))
            return false;
        pData += nCopy;
        nSize -= nCopy;
        nOffset += nCopy;
    }
    return true;
}

std::string CLogStore::ReadLine(std::uint64_t nLine, std::uint64_t nFrom, std::size_t nMax) const {
    if (nLine < m_nFirstLine || nLine >= m_nLines) return std::string();
    const std::uint64_t nStart = LineStart(nLine);
    const std::uint64_t nLength = LineStart(nLine + 1) - 1 - nStart;
    if (nFrom >= nLength) return std::string();
    std::string text(static_cast<std::size_t>(std::min<std::uint64_t>(nLength - nFrom, nMax)),
                     '\0');
    if (!Read(nStart + nFrom, text.data(), text.size())) text.clear();
    return text;
}

std::uint64_t CLogStore::UnitsAt(std::uint64_t nOffset) const {
    if (nOffset >= m_nBytes || m_text.empty()) return m_nChars;
    const std::size_t i = static_cast<std::size_t>(nOffset / m_limits.nChunkBytes - m_nTextBase);
    std::uint64_t nFrom = (m_nTextBase + i) * m_limits.nChunkBytes;
    std::uint64_t nUnits = m_textUnits[i];
    // The head of the first chunk may be gone.
    if (nFrom < m_nFirstByte) {
        nFrom = m_nFirstByte;
        nUnits = m_nFirstChar;
    }
    return nUnits + UnitsBetween(nFrom, nOffset);
}

std::uint64_t CLogStore::AbsoluteCharsBefore(std::uint64_t nLine) const {
    return nLine >= m_nLines ? m_nChars : UnitsAt(LineStart(nLine));
}

std::uint64_t CLogStore::CharsBefore(std::uint64_t nLine) const {
    return AbsoluteCharsBefore(std::max(nLine, m_nFirstLine)) - m_nFirstChar;
}

std::uint64_t CLogStore::CharsAtByte(std::uint64_t nOffset) const {
    return UnitsAt(std::max(nOffset, m_nFirstByte)) - m_nFirstChar;
}

std::uint64_t CLogStore::ByteAtChar(std::uint64_t nChar, std::uint64_t* pByteChar) const {
    const std::uint64_t nAbsolute = nChar + m_nFirstChar;
    if (nAbsolute >= m_nChars || m_text.empty()) {
        *pByteChar = m_nChars - m_nFirstChar;
        return m_nBytes;
    }
    // The chunk that holds the unit, then the byte within it.
    const auto it = std::upper_bound(m_textUnits.begin(), m_textUnits.end(), nAbsolute);
    const std::size_t i =
        it == m_textUnits.begin() ? 0 : static_cast<std::size_t>(it - m_textUnits.begin()) - 1;
    std::uint64_t nOffset = std::max(m_nFirstByte, (m_nTextBase + i) * m_limits.nChunkBytes);
    std::uint64_t nUnits =
        nOffset == m_nFirstByte && m_nFirstByte > (m_nTextBase + i) * m_limits.nChunkBytes
            ? m_nFirstChar
            : m_textUnits[i];
    char block[kScanBlock];
    while (nOffset < m_nBytes) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(kScanBlock, m_nBytes - nOffset));
        if (!Read(nOffset, block, n)) break;
        const std::uint64_t nBlockUnits = Utf8::Utf16Units(block, n);
        if (nUnits + nBlockUnits <= nAbsolute) {
            nUnits += nBlockUnits;
            nOffset += n;
            continue;
        }
        std::uint64_t nBefore = 0;
        const std::size_t j =
            Utf8::CharHoldingUnit(std::string_view(block, n), nAbsolute - nUnits, &nBefore);
        if (j < n) {
            *pByteChar = nUnits + nBefore - m_nFirstChar;
            return nOffset + j;
        }
        nUnits += nBefore;
        nOffset += n;
    }
    *pByteChar = m_nChars - m_nFirstChar;
    return m_nBytes;
}

std::uint64_t CLogStore::LineAtChar(std::uint64_t nChar, std::uint64_t* pLineChar) const {
    if (m_nLines == m_nFirstLine) {
        *pLineChar = 0;
        return m_nFirstLine;
    }
    std::uint64_t nByteChar = 0;
    const std::uint64_t nOffset = ByteAtChar(nChar, &nByteChar);
    const std::uint64_t nLine = nOffset >= m_nBytes ? m_nLines - 1 : LineAt(nOffset);
    *pLineChar = CharsBefore(nLine);
    return nLine;
}

}  // namespace Platform
