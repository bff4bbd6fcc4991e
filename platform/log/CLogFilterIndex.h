#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace Platform {

// The lines a filter shows: store line numbers in ascending order, with the UTF-16 units
// each shown line adds to the filtered text (its text and the LF before it).
//
// A match costs four bytes: its line as a 32-bit distance from the first line of its group
// of kGroup matches. A group keeps its first match, its first line and the units before it
// (a group closes early when a distance outgrows 32 bits), so the units before a match are
// the group's plus at most kGroup - 1 lines counted again by the caller. Deltas live in
// fixed blocks, so growing never copies them and memory follows the matches. No Qt.
class CLogFilterIndex {
public:
    // Matches per group, and deltas per block of memory.
    static constexpr std::size_t kGroup = 32;
    static constexpr std::size_t kBlock = 256;
    // UTF-16 units a shown store line adds to the filtered text, LF included.
    using LineUnits = std::function<std::uint64_t(std::uint64_t nLine)>;

    // Forgets every match.
    void Clear();
    // Adds store line nLine, above every line added before, which adds nUnits units.
    void Add(std::uint64_t nLine, std::uint64_t nUnits);

    // Matches held, and the store line of match i.
    std::uint64_t Count() const { return m_nCount; }
    std::uint64_t Line(std::uint64_t i) const;
    // Matches on lines below nLine, so the first match at or after it.
    std::uint64_t LowerBound(std::uint64_t nLine) const;
    // Whether nLine is a match.
    bool Contains(std::uint64_t nLine) const;

    // Units of every match together.
    std::uint64_t Units() const { return m_nUnits; }
    // Units of the matches before match i.
    std::uint64_t UnitsBefore(std::uint64_t i, const LineUnits& lineUnits) const;
    // The match whose units hold unit nUnit (Count() past the end), and in *pBefore the units
    // before it.
    std::uint64_t MatchAtUnit(std::uint64_t nUnit, const LineUnits& lineUnits,
                              std::uint64_t* pBefore) const;

    // Heap bytes the index holds.
    std::size_t MemoryBytes() const;

private:
    struct CGroup {
        std::uint64_t nFirstMatch = 0;
        std::uint64_t nFirstLine = 0;
        std::uint64_t nUnitsBefore = 0;
    };
    // The group holding match i, and the last group whose first line is at or below nLine.
    std::size_t GroupOfMatch(std::uint64_t i) const;
    std::size_t GroupOfLine(std::uint64_t nLine) const;
    std::uint64_t GroupEnd(std::size_t nGroup) const;
    std::uint32_t Delta(std::uint64_t i) const { return m_blocks[i / kBlock][i % kBlock]; }

    std::vector<CGroup> m_groups;
    std::vector<std::unique_ptr<std::uint32_t[]>> m_blocks;
    std::uint64_t m_nCount = 0;
    std::uint64_t m_nUnits = 0;
};

}  // namespace Platform
