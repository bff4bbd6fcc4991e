#include "CLogStore.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "AllocationCounter.h"
#include "Utf8.h"

namespace {

using Platform::CLogStore;

// Small chunks, so that a few hundred kilobytes cross every boundary many times; the long
// lines close index chunks early, so full and short ones mix.
CLogStore::CLimits SmallLimits() {
    CLogStore::CLimits limits;
    limits.nMemoryBudget = 64 * 1024;
    limits.nChunkBytes = 4096;
    limits.nIndexChunkLines = 64;
    limits.nIndexSpan = 4 * 1024;
    return limits;
}

// Lines of varied length, some longer than a chunk, with two- and four-byte characters.
std::string LineText(std::size_t i) {
    std::string text = "127.0.0.1:" + std::to_string(40000 + i % 1000) + " -> ";
    if (i % 97 == 0) text.append(9000 + i % 13, 'x');
    if (i % 5 == 0) text += "\xC3\xA9";          // é: 2 bytes, 1 unit
    if (i % 7 == 0) text += "\xF0\x9F\x98\x80";  // an emoji: 4 bytes, 2 units
    if (i % 11 == 0) text.clear();
    return text + std::to_string(i);
}

// Arrival times past 2^32 ms: runs of three lines that share one, then one line per time.
constexpr std::int64_t kTime = 1'700'000'000'123;
std::int64_t TimeOf(std::size_t i) {
    return kTime + static_cast<std::int64_t>(i < 1500 ? i / 3 : i) * 1001;
}

std::uint64_t Units(const std::string& text) {
    return Platform::Utf8::Utf16Units(text.data(), text.size());
}

// Hands everything over and waits for the writer; the bound only catches a hang.
void SpillAll(CLogStore& store) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (store.NeedsSpill() && std::chrono::steady_clock::now() < deadline) {
        store.Spill(16);
        std::this_thread::yield();
    }
    ASSERT_FALSE(store.NeedsSpill());
}

// Every kept line reads back whole and in slices, and the offset and unit indexes agree.
void ExpectKeptLinesReadBack(const CLogStore& store, std::uint64_t nFirstExpected) {
    ASSERT_LT(store.FirstLine(), store.LineCount());
    std::uint64_t nUnits = 0;
    for (std::uint64_t nLine = store.FirstLine(); nLine < store.LineCount(); ++nLine) {
        const std::string expected = LineText(static_cast<std::size_t>(nLine - nFirstExpected));
        ASSERT_EQ(store.ReadLine(nLine), expected) << nLine;
        ASSERT_EQ(store.LineLength(nLine), expected.size());
        ASSERT_EQ(store.LineTime(nLine), TimeOf(static_cast<std::size_t>(nLine - nFirstExpected)));
        ASSERT_EQ(store.ReadLine(nLine, 2, 5),
                  expected.substr(std::min<std::size_t>(2, expected.size()), 5));
        ASSERT_EQ(store.CharsBefore(nLine), nUnits) << nLine;
        std::uint64_t nLineUnits = 0;
        ASSERT_EQ(store.LineAtChar(nUnits, &nLineUnits), nLine);
        ASSERT_EQ(nLineUnits, nUnits);
        ASSERT_EQ(store.LineAt(store.LineStart(nLine) + expected.size()), nLine);
        nUnits += Units(expected) + 1;
    }
    EXPECT_EQ(store.CharCount(), nUnits);
}

TEST(CLogStoreTest, LinesReadBackAcrossChunksAndTheSpillFile) {
    CLogStore store(SmallLimits());
    EXPECT_EQ(store.LineCount(), 0u);
    // Spilling between appends, so that later chunks are filled in buffers the writer gave
    // back.
    for (std::size_t i = 0; i < 3000; ++i) {
        store.Append(LineText(i), TimeOf(i));
        if (i % 100 == 99 && i < 1000) SpillAll(store);
    }
    EXPECT_GT(store.MemoryBytes(), SmallLimits().nMemoryBudget);
    // Bounded work per call, until everything over the budget is handed to the writer.
    int nCalls = 0;
    while (store.Spill(4)) ++nCalls;
    EXPECT_GT(nCalls, 10);
    // Chunks still being written read back from memory.
    ExpectKeptLinesReadBack(store, 0);
    SpillAll(store);
    EXPECT_LE(store.MemoryBytes(), SmallLimits().nMemoryBudget);
    EXPECT_EQ(store.DroppedLines(), 0u);
    ExpectKeptLinesReadBack(store, 0);

    // The stream is the lines, each followed by LF.
    std::string stream(static_cast<std::size_t>(store.EndByte() - store.FirstByte()), '\0');
    ASSERT_TRUE(store.Read(store.FirstByte(), stream.data(), stream.size()));
    EXPECT_EQ(stream.substr(0, LineText(0).size() + LineText(1).size() + 2),
              LineText(0) + "\n" + LineText(1) + "\n");
    EXPECT_EQ(stream.back(), '\n');
    EXPECT_FALSE(store.Read(store.EndByte() - 1, stream.data(), 2));
}

TEST(CLogStoreTest, AdoptedLinesLongerThanAChunkReadBackBeforeAndAfterSpill) {
    CLogStore store(SmallLimits());
    // Lines that span several chunks, some carrying line breaks, among short ones, so that
    // adopted chunks sit between copied ones and go to the writer mixed with them.
    for (std::size_t i = 0; i < 3000; ++i) store.Adopt(LineText(i), TimeOf(i));
    std::string broken(3 * 4096, 'y');
    broken[5000] = '\n';
    store.Adopt(std::string(broken), kTime);
    ASSERT_EQ(store.LineCount(), 3002u);
    EXPECT_EQ(store.ReadLine(3000), broken.substr(0, 5000));
    EXPECT_EQ(store.ReadLine(3001), broken.substr(5001));
    store.Append("a", kTime);
    while (store.Spill(4)) {
    }
    // Adopted chunks still being written read back from the text they came in.
    for (std::size_t nLine = 0; nLine < 3000; ++nLine) {
        const std::string expected = LineText(nLine);
        ASSERT_EQ(store.ReadLine(nLine), expected) << nLine;
        ASSERT_EQ(store.ReadLine(nLine, 3, 9000),
                  expected.substr(std::min<std::size_t>(3, expected.size()), 9000));
    }
    SpillAll(store);
    EXPECT_LE(store.MemoryBytes(), SmallLimits().nMemoryBudget);
    EXPECT_EQ(store.DroppedLines(), 0u);
    EXPECT_EQ(store.ReadLine(3000), broken.substr(0, 5000));
    EXPECT_EQ(store.ReadLine(3001), broken.substr(5001));
    store.Adopt(std::string(), kTime);
    EXPECT_EQ(store.ReadLine(3003), "");
    EXPECT_EQ(store.LineCount(), 3004u);
}

TEST(CLogStoreTest, LineBreaksInsideATextStartNewLines) {
    CLogStore store;
    store.Append("a\r\nb\nc\rd", kTime);
    store.Append("tail\r\n", kTime);
    store.Append("", kTime);
    const std::vector<std::string> expected{"a", "b", "c", "d", "tail", "", ""};
    ASSERT_EQ(store.LineCount(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(store.ReadLine(i), expected[i]);
}

TEST(CLogStoreTest, Utf16UnitsOfLongMixedTextMatchACharacterByCharacterCount) {
    // Longer than the bulk counter's rounds, at every alignment of the tail.
    std::string text;
    std::uint64_t nExpected = 0;
    for (int i = 0; text.size() < 70000; ++i) {
        static const char* const kPieces[] = {"a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                              "\x7F"};
        const std::string piece = kPieces[(i * 7) % 5];
        text += piece;
        nExpected += piece.size() == 4 ? 2 : 1;
    }
    for (std::size_t nCut = 0; nCut < 16; ++nCut) {
        const std::string part = text.substr(nCut);
        std::uint64_t nUnits = 0;
        for (const char c : part)
            nUnits += ((c & 0xC0) != 0x80) + (static_cast<unsigned char>(c) >= 0xF0);
        EXPECT_EQ(Platform::Utf8::Utf16Units(part.data(), part.size()), nUnits) << nCut;
    }
    EXPECT_EQ(Platform::Utf8::Utf16Units(text.data(), text.size()), nExpected);
}

TEST(CLogStoreTest, AppendingAllocatesPerChunkNotPerLine) {
    if (!Testing::AllocationsAreCounted()) GTEST_SKIP() << "a sanitizer owns operator new";
    CLogStore store;
    const std::string line(36, 'm');
    store.Append(line, kTime);
    const std::size_t nBefore = Testing::AllocationsOnThisThread();
    for (int i = 0; i < 1000000; ++i) store.Append(line, kTime);
    // A million offsets in chunks of 8,192, plus the containers' own blocks; the 37 MB of
    // text go in 2 MiB chunks mapped from the system, not allocated.
    EXPECT_LE(Testing::AllocationsOnThisThread() - nBefore, 123u + 16u);
    // Text and index together, as the budget counts them: the line, its LF and four bytes,
    // give or take the last chunk's rest.
    EXPECT_LE(store.MemoryBytes() / store.LineCount(), 42u);
}

// Lowers the largest file this process may write, so that the spill file's writes fail as on
// a full disk; SIGXFSZ is ignored so the write returns EFBIG instead of ending the process.
class ScopedFileSizeLimit {
public:
    explicit ScopedFileSizeLimit(rlim_t nBytes) {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_saved;
        limit.rlim_cur = nBytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~ScopedFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_previousHandler);
    }

private:
    rlimit m_saved{};
    void (*m_previousHandler)(int) = nullptr;
};

TEST(CLogStoreTest, ARefusedWriteReleasesTheOldestLinesAndTheStoreGoesOn) {
    CLogStore store(SmallLimits());
    {
        const ScopedFileSizeLimit limit(40 * 1024);
        for (std::size_t i = 0; i < 3000; ++i) {
            store.Append(LineText(i), TimeOf(i));
            SpillAll(store);
            // Memory never grows past the budget and what one turn may leave over.
            ASSERT_LE(store.MemoryBytes(), SmallLimits().nMemoryBudget + 16 * 1024 + 4 * 4096);
        }
    }
    EXPECT_GT(store.DroppedLines(), 0u);
    EXPECT_EQ(store.DropReason(), std::strerror(EFBIG));
    EXPECT_EQ(store.LineCount(), 3000u);
    EXPECT_FALSE(store.Read(0, nullptr, 1));
    ExpectKeptLinesReadBack(store, 0);

    // With room again, spilling resumes and nothing more goes.
    const std::uint64_t nDropped = store.DroppedLines();
    for (std::size_t i = 3000; i < 4000; ++i) store.Append(LineText(i), TimeOf(i));
    SpillAll(store);
    EXPECT_EQ(store.DroppedLines(), nDropped);
    ExpectKeptLinesReadBack(store, 0);

    // Cleared, the store starts again with nothing dropped.
    store.Clear();
    EXPECT_EQ(store.DroppedLines(), 0u);
    EXPECT_TRUE(store.DropReason().empty());
    for (std::size_t i = 0; i < 1000; ++i) store.Append(LineText(i), TimeOf(i));
    SpillAll(store);
    ExpectKeptLinesReadBack(store, 0);
}

TEST(CLogStoreTest, ClearWithWritesInFlightStartsAfreshAndSpillsAgain) {
    CLogStore store(SmallLimits());
    for (int nRound = 0; nRound < 3; ++nRound) {
        for (std::size_t i = 0; i < 3000; ++i) store.Append(LineText(i), TimeOf(i));
        // Chunks handed to the writer and not yet taken back.
        store.Spill(16);
        store.Clear();
        EXPECT_EQ(store.LineCount(), 0u);
        EXPECT_EQ(store.FirstLine(), 0u);
        EXPECT_EQ(store.CharCount(), 0u);
        EXPECT_EQ(store.MaxLineLength(), 0u);
        EXPECT_EQ(store.MemoryBytes(), 0u);
        EXPECT_FALSE(store.NeedsSpill());
        EXPECT_EQ(store.ReadLine(0), "");
    }
    // The files' offsets are written afresh and read back.
    for (std::size_t i = 0; i < 3000; ++i) store.Append(LineText(i), TimeOf(i));
    SpillAll(store);
    ExpectKeptLinesReadBack(store, 0);
}

TEST(CLogStoreTest, TimesGoToTheDiskWithTheIndexAndClearForgetsThem) {
    CLogStore store(SmallLimits());
    // A block's lines share its time; a trickle of one line per time costs a run a line.
    store.Adopt("one\ntwo\nthree", kTime);
    constexpr std::int64_t kTrickle = 20000;
    for (std::int64_t i = 0; i < kTrickle; ++i) store.Append("x", kTime + 1 + i);
    SpillAll(store);
    // The runs went to the disk with their index chunks: memory stays within the budget.
    EXPECT_LE(store.MemoryBytes(), SmallLimits().nMemoryBudget);
    EXPECT_EQ(store.DroppedLines(), 0u);
    for (std::uint64_t nLine = 0; nLine < 3; ++nLine) EXPECT_EQ(store.LineTime(nLine), kTime);
    for (std::int64_t i = 0; i < kTrickle; ++i)
        ASSERT_EQ(store.LineTime(static_cast<std::uint64_t>(3 + i)), kTime + 1 + i) << i;
    EXPECT_EQ(store.LineTime(3 + kTrickle), 0);

    store.Clear();
    EXPECT_EQ(store.LineTime(0), 0);
    store.Append("after", kTime - 5);
    EXPECT_EQ(store.LineTime(0), kTime - 5);
}

TEST(CLogStoreTest, OffsetsPastFourGibibytesSpillAndReadBack) {
    CLogStore::CLimits limits = SmallLimits();
    limits.nFirstByte = (5ull << 30) + 1234;  // a sparse file: nothing below is written
    CLogStore store(limits);
    for (std::size_t i = 0; i < 2000; ++i) store.Append(LineText(i), TimeOf(i));
    SpillAll(store);
    EXPECT_EQ(store.DroppedLines(), 0u);
    EXPECT_EQ(store.LineStart(0), limits.nFirstByte);
    EXPECT_GT(store.EndByte(), 1ull << 32);
    ExpectKeptLinesReadBack(store, 0);
}

}  // namespace
