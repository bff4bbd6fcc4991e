#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

#include "CWindowImpl.h"

class QSocketNotifier;

namespace Platform {

// The message queue behind one message-only window: a fixed ring of records that any thread
// fills without blocking or allocating, and an eventfd whose socket notifier wakes the owning
// thread's Qt loop; only the first push after the reader's pass writes it. The owning thread takes
// the records out one at a time, so a loop nested inside one message (a modal dialog) goes on
// delivering the next ones in order.
class CWindowChannel : public std::enable_shared_from_this<CWindowChannel> {
public:
    // Undelivered messages that fit; a power of two.
    static constexpr std::size_t kCapacity = 4096;

    struct CRecord {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };

    // Opens the eventfd and its notifier on the calling thread; see IsOpen.
    explicit CWindowChannel(CWindowImpl* pWindow);
    ~CWindowChannel();
    CWindowChannel(const CWindowChannel&) = delete;
    CWindowChannel& operator=(const CWindowChannel&) = delete;

    // False when the eventfd could not be opened.
    bool IsOpen() const;

    // Appends a record and wakes the owning thread. Any thread; false when the ring is full.
    // The caller guarantees that Close has not begun.
    bool Push(const CRecord& record);

    // Owning thread, once no Push can still be running: stops delivery, discards the records
    // still queued and closes the eventfd.
    void Close();

private:
    struct CCell {
        // Lap stamp of the cell: equal to a write position when the cell is free for it,
        // one past a read position when it holds that record.
        std::atomic<std::size_t> m_nSequence;
        CRecord m_record;
    };

    void OnActivated();
    bool Pop(CRecord& record);
    bool HasRecord() const;
    void Wake();

    std::unique_ptr<CCell[]> m_spCells;
    alignas(64) std::atomic<std::size_t> m_nWrite{0};
    // Set by the push that writes the eventfd, cleared by the reader once it has read it.
    std::atomic<bool> m_bWakeInFlight{false};
    alignas(64) std::size_t m_nRead = 0;
    int m_fd = -1;
    int m_nDepth = 0;  // deliveries of this channel on the owning thread's stack
    std::unique_ptr<QSocketNotifier> m_spNotifier;
    CWindowImpl* m_pWindow;
};

}  // namespace Platform
