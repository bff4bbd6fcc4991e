#pragma once

#include <atomic>
#include <boost/asio/io_service.hpp>
#include <boost/noncopyable.hpp>
#include <cstddef>
#include <cstdint>
#include <string>

#include "CNoxPostMessageToUIThread.h"
#include "CString.h"
#include "CTimedLines.h"

// The worker's log lines on their way to the log box. Each line is written once, into a block
// of lines (LF between them) that goes to the UI-thread queue as one value, stamped with the
// wall clock when its first line began (its lines share that arrival time): when the worker
// has run the handlers that were ready before the block's first line, or once the block holds
// kBlockBytes. It also counts what is queued and not yet appended, for back-pressure.
// Everything but Appended runs on the worker thread.
class CLogBlocks : private boost::noncopyable {
public:
    using CQueue = Nox::CNoxPostMessageToUIThread<Platform::CTimedLines>;

    static constexpr std::size_t kBlockBytes = 64 * 1024;
    // The box is behind past either high-water mark, and has caught up below both low ones.
    // Both bound what one delivered batch brings to the UI thread in one turn of its loop:
    // its time by the lines, the memory it takes by the bytes, whatever the message size.
    static constexpr std::size_t kHighWaterLines = 8192;
    static constexpr std::size_t kLowWaterLines = 2048;
    static constexpr std::size_t kHighWaterBytes = std::size_t{4} << 20;
    static constexpr std::size_t kLowWaterBytes = std::size_t{1} << 20;

    CLogBlocks(boost::asio::io_service& ioService, CQueue& queue);

    // Starts a line of about nSize bytes, to be written at the end of the returned block;
    // EndLine ends it. A line never makes a block of other lines grow: one that does not fit
    // waits for the next block, and a long one gets its own, which the log's store then keeps
    // without a copy.
    std::string& BeginLine(std::size_t nSize);
    void EndLine();
    // Queues a line of the server's own; controls in it become visible symbols as in a
    // message, so it stays one line.
    void Post(const CString& line);

    bool IsBehind() const;
    bool IsCaughtUp() const;
    // UI thread: the box has appended nLines lines of nBytes bytes. True when that has
    // brought it below both low-water marks.
    bool Appended(std::size_t nLines, std::size_t nBytes);

private:
    // A line an exception cut short (no memory for a long message, say) leaves the block:
    // every line queued is whole, and the box gains exactly the lines counted.
    void DropOpenLine();
    void Queue();
    static void Flush(CLogBlocks* pThis);

    boost::asio::io_service& m_ioService;
    CQueue& m_queue;
    // Lines, and their bytes, queued and not yet appended to the log box.
    std::atomic<std::size_t> m_nQueuedLines{0};
    std::atomic<std::size_t> m_nQueuedBytes{0};
    // The block being written, when its first line began, its whole lines, the line being written,
    // and whether a Flush is on its way.
    std::string m_block;
    std::int64_t m_nBlockTime = 0;
    std::size_t m_nBlockLines = 0;
    std::size_t m_nLineStart = 0;  // where the open line's separator or text begins
    bool m_bLineOpen = false;
    bool m_bFlushPosted = false;
};
