#include "CLogBlocks.h"

#include <algorithm>
#include <boost/bind/bind.hpp>
#include <chrono>

#include "MessageText.h"

CLogBlocks::CLogBlocks(boost::asio::io_service& ioService, CQueue& queue)
    : m_ioService(ioService), m_queue(queue) {}

std::string& CLogBlocks::BeginLine(std::size_t nSize) {
    DropOpenLine();
    if (m_nBlockLines > 0 && m_block.size() + 1 + nSize > m_block.capacity()) Queue();
    m_nLineStart = m_block.size();
    if (m_nBlockLines > 0) {
        m_block.push_back('\n');
    } else {
        m_block.reserve(std::max(nSize, kBlockBytes));
        m_nBlockTime = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
        if (!m_bFlushPosted) {
            m_bFlushPosted = true;
            m_ioService.post(boost::bind(&CLogBlocks::Flush, this));
        }
    }
    m_bLineOpen = true;
    return m_block;
}

void CLogBlocks::EndLine() {
    m_bLineOpen = false;
    ++m_nBlockLines;
    if (m_block.size() >= kBlockBytes) Queue();
}

void CLogBlocks::Post(const CString& line) {
    const QByteArray bytes = line.toUtf8();
    const auto nBytes = static_cast<std::size_t>(bytes.size());
    AppendMessageText(BeginLine(nBytes), bytes.constData(), nBytes);
    EndLine();
}

bool CLogBlocks::IsBehind() const {
    return m_nQueuedLines.load(std::memory_order_relaxed) > kHighWaterLines ||
           m_nQueuedBytes.load(std::memory_order_relaxed) > kHighWaterBytes;
}

bool CLogBlocks::IsCaughtUp() const {
    return m_nQueuedLines.load() <= kLowWaterLines && m_nQueuedBytes.load() <= kLowWaterBytes;
}

bool CLogBlocks::Appended(std::size_t nLines, std::size_t nBytes) {
    m_nQueuedBytes.fetch_sub(nBytes);
    m_nQueuedLines.fetch_sub(nLines);
    return IsCaughtUp();
}

void CLogBlocks::DropOpenLine() {
    if (!m_bLineOpen) return;
    m_block.resize(m_nLineStart);
    m_bLineOpen = false;
}

void CLogBlocks::Queue() {
    DropOpenLine();
    if (m_nBlockLines == 0) return;
    m_nQueuedBytes.fetch_add(m_block.size(), std::memory_order_relaxed);
    m_nQueuedLines.fetch_add(m_nBlockLines, std::memory_order_relaxed);
    m_nBlockLines = 0;
    // A block far short of its buffer goes as a copy of its own size and the buffer serves
    // the next one: what waits in the queue is then lines, not buffers mostly empty, which
    // the allocator would keep once the box has taken them.
    if (m_block.capacity() <= kBlockBytes && m_block.size() < m_block.capacity() / 2)
        m_queue.Post(Platform::CTimedLines{m_nBlockTime, std::string(m_block)});
    else
        m_queue.Post(Platform::CTimedLines{m_nBlockTime, std::move(m_block)});
    m_block.clear();
}

void CLogBlocks::Flush(CLogBlocks* pThis) {
    pThis->m_bFlushPosted = false;
    pThis->Queue();
}
