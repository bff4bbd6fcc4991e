#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace Platform {

// The matching Find and the filter share: a case-sensitive byte search for one UTF-8 text,
// forward or from the end of a range. The text holds no line break, so a match never spans
// lines.
class CLogMatcher {
public:
    // Matches text, which must not be empty.
    explicit CLogMatcher(std::string text);

    // The text, and its length in bytes.
    const std::string& Text() const { return m_needle; }
    std::size_t Size() const { return m_needle.size(); }
    // The first match in [pFirst, pLast), or pLast.
    const char* Forward(const char* pFirst, const char* pLast) const;
    // The start of the last match that ends by pLast in [pFirst, pLast), or pLast.
    const char* Backward(const char* pFirst, const char* pLast) const;

private:
    const std::string m_needle;
    // Backward, a range is searched from its end for the reversed text.
    const std::string m_reversed;
    const std::boyer_moore_horspool_searcher<std::string::const_iterator> m_forward;
    const std::boyer_moore_horspool_searcher<std::string::const_iterator> m_backward;
};

}  // namespace Platform
