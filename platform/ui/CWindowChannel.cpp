#include "CWindowChannel.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QObject>
#include <QSocketNotifier>

#include <cstdint>

namespace Platform {
namespace {

// Messages delivered per wake-up before the loop gets its turn again, so that a thread that
// posts without pause cannot starve the owning thread's other events.
constexpr int kDispatchBatch = 256;

static_assert((CWindowChannel::kCapacity & (CWindowChannel::kCapacity - 1)) == 0,
              "the ring's capacity must be a power of two");

}  // namespace

CWindowChannel::CWindowChannel(CWindowImpl* pWindow)
    : m_spCells(new CCell[kCapacity]), m_pWindow(pWindow) {
    for (std::size_t i = 0; i < kCapacity; ++i) {
        m_spCells[i].m_nSequence.store(i, std::memory_order_relaxed);
    }
    m_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_fd < 0) return;
    m_spNotifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    QObject::connect(m_spNotifier.get(), &QSocketNotifier::activated, [this] { OnActivated(); });
}

CWindowChannel::~CWindowChannel() { Close(); }

bool CWindowChannel::IsOpen() const { return m_fd >= 0; }

bool CWindowChannel::Push(const CRecord& record) {
    std::size_t nPosition = m_nWrite.load(std::memory_order_relaxed);
    CCell* pCell;
    for (;;) {
        pCell = &m_spCells[nPosition & (kCapacity - 1)];
        const std::size_t nSequence = pCell->m_nSequence.load(std::memory_order_acquire);
        const auto nLag = static_cast<std::intptr_t>(nSequence - nPosition);
        if (nLag == 0) {
            if (m_nWrite.compare_exchange_weak(nPosition, nPosition + 1,
                                               std::memory_order_relaxed)) {
                break;
            }
        } else if (nLag < 0) {
            return false;  // the cell still holds a record of the previous lap: full
        } else {
            nPosition = m_nWrite.load(std::memory_order_relaxed);
        }
    }
    pCell->m_record = record;
    pCell->m_nSequence.store(nPosition + 1, std::memory_order_release);
    // Pairs with the fence in OnActivated: either the reader's next pass sees this record, or
    // this push sees the cleared flag and writes the eventfd.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    Wake();
    return true;
}

void CWindowChannel::Close() {
    m_pWindow = nullptr;
    if (m_spNotifier) {
        m_spNotifier->setEnabled(false);
        // A window destroyed by one of its own messages is inside the notifier's signal.
        if (m_nDepth > 0) {
            m_spNotifier.release()->deleteLater();
        } else {
            m_spNotifier.reset();
        }
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

void CWindowChannel::OnActivated() {
    // A message may destroy the window; the channel stays alive until this walk returns.
    const std::shared_ptr<CWindowChannel> spKeep = shared_from_this();
    ++m_nDepth;
    std::uint64_t nWakes;
    if (::read(m_fd, &nWakes, sizeof nWakes) < 0) {
        // EAGAIN: a delivery nested in an earlier message already took the wake-up.
    }
    // Cleared after the read, so a write made from now on stays readable for the next pass.
    m_bWakeInFlight.store(false, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    // One record at a time: a loop nested in a message delivers the following ones itself.
    for (int i = 0; i < kDispatchBatch && m_pWindow; ++i) {
        CRecord record;
        if (!Pop(record)) break;
        m_pWindow->Dispatch(record.message, record.wParam, record.lParam);
    }
    if (m_pWindow && HasRecord()) Wake();
    --m_nDepth;
}

bool CWindowChannel::Pop(CRecord& record) {
    CCell& cell = m_spCells[m_nRead & (kCapacity - 1)];
    if (cell.m_nSequence.load(std::memory_order_acquire) != m_nRead + 1) return false;
    record = cell.m_record;
    cell.m_nSequence.store(m_nRead + kCapacity, std::memory_order_release);
    ++m_nRead;
    return true;
}

bool CWindowChannel::HasRecord() const {
    const CCell& cell = m_spCells[m_nRead & (kCapacity - 1)];
    return cell.m_nSequence.load(std::memory_order_acquire) == m_nRead + 1;
}

void CWindowChannel::Wake() {
    // One write per pass of the reader: a push that finds a wake-up in flight makes no call.
    if (m_bWakeInFlight.exchange(true, std::memory_order_relaxed)) return;
    const std::uint64_t nOne = 1;
    if (::write(m_fd, &nOne, sizeof nOne) < 0) {
        // Only an eventfd counter at its maximum refuses, and the reader is then awake anyway.
    }
}

}  // namespace Platform
