#include "CSpillWriter.h"

namespace Platform {

CSpillWriter::CSpillWriter() = default;

CSpillWriter::~CSpillWriter() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable()) m_thread.join();
}

void CSpillWriter::Hand(CJob job) {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_pending.push_back(std::move(job));
    }
    if (!m_thread.joinable()) m_thread = std::thread(&CSpillWriter::Run, this);
    m_wake.notify_one();
}

std::vector<CSpillWriter::CJob> CSpillWriter::Finished() {
    std::vector<CJob> finished;
    const std::lock_guard<std::mutex> lock(m_mutex);
    finished.swap(m_finished);
    return finished;
}

void CSpillWriter::WaitForFinished() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_finishedWake.wait(lock, [this] { return !m_finished.empty(); });
}

void CSpillWriter::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_bStop || !m_pending.empty(); });
        if (m_bStop) return;
        CJob job = std::move(m_pending.front());
        m_pending.pop_front();
        lock.unlock();
        job.bWritten = job.pFile->Write(job.nOffset, job.pData, job.nBytes);
        if (!job.bWritten) job.error = job.pFile->Error();
        lock.lock();
        const bool bFirst = m_finished.empty();
        m_finished.push_back(std::move(job));
        m_finishedWake.notify_one();
        if (bFirst && m_onFinished) {
            // Outside the lock: the owner may take the chunks back at once.
            lock.unlock();
            m_onFinished();
            lock.lock();
        }
    }
}

}  // namespace Platform
