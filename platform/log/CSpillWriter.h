#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CSpillFile.h"
#include "ChunkMemory.h"

namespace Platform {

// Writes full, immutable chunks of the log store to their spill files on a thread of its own,
// so that the UI thread never waits for the disk. The owner hands a chunk over with its
// buffer and takes it back, written or refused, from Finished(); the buffer stays unchanged
// meanwhile, so the owner may keep reading it. The thread starts with the first chunk and is
// joined by the destructor; chunks not yet written then are simply let go.
class CSpillWriter {
public:
    struct CJob {
        CSpillFile* pFile = nullptr;
        std::uint64_t nOffset = 0;
        // The chunk's bytes, held by exactly one of the three owners.
        const char* pData = nullptr;
        CChunkMemory pText;
        std::shared_ptr<const std::string> spText;
        std::unique_ptr<std::uint32_t[]> pIndex;
        std::size_t nBytes = 0;
        std::uint64_t nChunk = 0;
        bool bWritten = false;
        std::string error;
    };

    CSpillWriter();
    ~CSpillWriter();
    CSpillWriter(const CSpillWriter&) = delete;
    CSpillWriter& operator=(const CSpillWriter&) = delete;

    // Called on the writer thread when a finished chunk waits where there was none, so that
    // the owner can come and take it on its own thread. Set before the first Hand.
    void SetOnFinished(std::function<void()> onFinished) { m_onFinished = std::move(onFinished); }

    void Hand(CJob job);
    // The chunks written or refused since the last call, in the order they were handed over.
    std::vector<CJob> Finished();
    // Blocks until a chunk handed over has been written or refused.
    void WaitForFinished();

private:
    void Run();

    std::function<void()> m_onFinished;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_finishedWake;
    std::deque<CJob> m_pending;
    std::vector<CJob> m_finished;
    bool m_bStop = false;
    std::thread m_thread;
};

}  // namespace Platform
