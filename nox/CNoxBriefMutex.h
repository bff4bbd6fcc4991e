#pragma once

#include <boost/noncopyable.hpp>
#include <boost/thread/mutex.hpp>

namespace Nox {

// A mutex for critical sections of a few pointer writes shared by a posting thread and the
// UI thread. A thread that finds it taken spins for a moment before it sleeps: sleeping would
// cost it a context switch and the holder a wake-up system call, many times the section.
class CNoxBriefMutex : private boost::noncopyable {
public:
    using scoped_lock = boost::unique_lock<CNoxBriefMutex>;

    void lock() {
        for (int i = 0; i < kSpins; ++i) {
            if (m_mutex.try_lock()) return;
            Pause();
        }
        m_mutex.lock();
    }
    void unlock() { m_mutex.unlock(); }

private:
    // About a microsecond on current processors: far beyond any section, far below a sleep.
    static constexpr int kSpins = 200;

    static void Pause() {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    }

    boost::mutex m_mutex;
};

}  // namespace Nox
