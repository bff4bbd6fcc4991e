#include "CLogFilterIndex.h"

#include <algorithm>

namespace Platform {

void CLogFilterIndex::Clear() {
    m_groups = std::vector<CGroup>();
    m_blocks = std::vector<std::unique_ptr<std::uint32_t[]>>();
    m_nCount = 0;
    m_nUnits = 0;
}

void CLogFilterIndex::Add(std::uint64_t nLine, std::uint64_t nUnits) {
    if (m_groups.empty() || m_nCount - m_groups.back().nFirstMatch >= kGroup ||
        nLine - m_groups.back().nFirstLine > UINT32_MAX)
        m_groups.push_back(CGroup{m_nCount, nLine, m_nUnits});
    if (m_nCount % kBlock == 0) m_blocks.push_back(std::make_unique<std::uint32_t[]>(kBlock));
    m_blocks.back()[m_nCount % kBlock] =
        static_cast<std::uint32_t>(nLine - m_groups.back().nFirstLine);
    ++m_nCount;
    m_nUnits += nUnits;
}

std::size_t CLogFilterIndex::GroupOfMatch(std::uint64_t i) const {
    const auto it = std::upper_bound(
        m_groups.begin(), m_groups.end(), i,
        [](std::uint64_t n, const CGroup& group) { return n < group.nFirstMatch; });
    return static_cast<std::size_t>(it - m_groups.begin()) - 1;
}

std::size_t CLogFilterIndex::GroupOfLine(std::uint64_t nLine) const {
    const auto it =
        std::upper_bound(m_groups.begin(), m_groups.end(), nLine,
                         [](std::uint64_t n, const CGroup& group) { return n < group.nFirstLine; });
    return it == m_groups.begin() ? 0 : static_cast<std::size_t>(it - m_groups.begin()) - 1;
}

std::uint64_t CLogFilterIndex::GroupEnd(std::size_t nGroup) const {
    return nGroup + 1 < m_groups.size() ? m_groups[nGroup + 1].nFirstMatch : m_nCount;
}

std::uint64_t CLogFilterIndex::Line(std::uint64_t i) const {
    return m_groups[GroupOfMatch(i)].nFirstLine + Delta(i);
}

std::uint64_t CLogFilterIndex::LowerBound(std::uint64_t nLine) const {
    if (m_nCount == 0) return 0;
    const std::size_t g = GroupOfLine(nLine);
    const CGroup& group = m_groups[g];
    if (nLine < group.nFirstLine) return group.nFirstMatch;
    std::uint64_t i = group.nFirstMatch;
    const std::uint64_t nEnd = GroupEnd(g);
    while (i < nEnd && group.nFirstLine + Delta(i) < nLine) ++i;
    return i;
}

bool CLogFilterIndex::Contains(std::uint64_t nLine) const {
    const std::uint64_t i = LowerBound(nLine);
    return i < m_nCount && Line(i) == nLine;
}

std::uint64_t CLogFilterIndex::UnitsBefore(std::uint64_t i, const LineUnits& lineUnits) const {
    if (i >= m_nCount) return m_nUnits;
    const std::size_t g = GroupOfMatch(i);
    const CGroup& group = m_groups[g];
    std::uint64_t nUnits = group.nUnitsBefore;
    for (std::uint64_t j = group.nFirstMatch; j < i; ++j)
        nUnits += lineUnits(group.nFirstLine + Delta(j));
    return nUnits;
}

std::uint64_t CLogFilterIndex::MatchAtUnit(std::uint64_t nUnit, const LineUnits& lineUnits,
                                           std::uint64_t* pBefore) const {
    if (nUnit >= m_nUnits || m_nCount == 0) {
        *pBefore = m_nUnits;
        return m_nCount;
    }
    const auto it = std::upper_bound(
        m_groups.begin(), m_groups.end(), nUnit,
        [](std::uint64_t n, const CGroup& group) { return n < group.nUnitsBefore; });
    const std::size_t g = static_cast<std::size_t>(it - m_groups.begin()) - 1;
    const CGroup& group = m_groups[g];
    std::uint64_t nBefore = group.nUnitsBefore;
    std::uint64_t i = group.nFirstMatch;
    for (const std::uint64_t nEnd = GroupEnd(g); i + 1 < nEnd; ++i) {
        const std::uint64_t nUnits = lineUnits(group.nFirstLine + Delta(i));
        if (nBefore + nUnits > nUnit) break;
        nBefore += nUnits;
    }
    *pBefore = nBefore;
    return i;
}

std::size_t CLogFilterIndex::MemoryBytes() const {
    return m_groups.capacity() * sizeof(CGroup) + m_blocks.capacity() * sizeof(m_blocks.front()) +
           m_blocks.size() * kBlock * sizeof(std::uint32_t);
}

}  // namespace Platform
