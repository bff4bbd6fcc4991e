#include "CLogMatcher.h"

#include <algorithm>
#include <iterator>

namespace Platform {

CLogMatcher::CLogMatcher(std::string text)
    : m_needle(std::move(text)),
      m_reversed(m_needle.rbegin(), m_needle.rend()),
      m_forward(m_needle.begin(), m_needle.end()),
      m_backward(m_reversed.begin(), m_reversed.end()) {}

const char* CLogMatcher::Forward(const char* pFirst, const char* pLast) const {
    return std::search(pFirst, pLast, m_forward);
}

const char* CLogMatcher::Backward(const char* pFirst, const char* pLast) const {
    const std::reverse_iterator<const char*> first(pLast);
    const std::reverse_iterator<const char*> last(pFirst);
    const auto it = std::search(first, last, m_backward);
    if (it == last) return pLast;
    return pLast - (it - first) - m_needle.size();
}

}  // namespace Platform
