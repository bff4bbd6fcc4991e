#pragma once

#include <boost/noncopyable.hpp>
#include <boost/thread/mutex.hpp>

#include <list>

#include "CNoxPostSignalToUIThread.h"

namespace Nox {

// A queue of values that any thread posts and that reach OnMessages on the thread that
// constructed the queue, in posting order and in batches. A posting thread never waits for
// that thread; the two locks (the queue's and its signal's) are never held together, and
// neither is held while OnMessages runs.
template <class T>
class CNoxPostMessageToUIThread : private boost::noncopyable {
public:
    // Wakes the constructing thread and hands it everything queued at once.
    class CSignal : public CNoxPostSignalToUIThread {
    public:
        CSignal() : m_pOwner(nullptr) {}

        // Takes the whole queue in one constant-time swap and delivers it outside the lock.
        void OnSignal() override;

        CNoxPostMessageToUIThread* m_pOwner;  // the enclosing queue; non-owning
    };

    // Runs on the thread that is to receive the values; it must run a Qt event loop.
    CNoxPostMessageToUIThread() { m_signal.m_pOwner = this; }

    // Queues a copy of the value. Any thread, the receiving one included; the value is never
    // delivered from inside Post.
    void Post(const T& value) {
        // The node is allocated and the value copied before the lock, which then covers
        // only the constant-time link.
        std::list<T> node(1, value);
        {
            boost::mutex::scoped_lock lock(m_mutex);
            m_list.splice(m_list.end(), node);
        }
        m_signal.Post();
    }

    // The receiver: a non-empty batch, oldest first, on the constructing thread, no lock
    // held. The batch is destroyed with its values when this returns.
    virtual void OnMessages(std::list<T>& batch) = 0;

protected:
    // Never deleted through this base. Values still queued are dropped, then the signal
    // discards its queued wake-ups.
    ~CNoxPostMessageToUIThread() = default;

    CSignal m_signal;
    std::list<T> m_list;   // posted and not yet taken, oldest first
    boost::mutex m_mutex;  // guards m_list only
};

template <class T>
void CNoxPostMessageToUIThread<T>::CSignal::OnSignal() {
    std::list<T> batch;
    {
        boost::mutex::scoped_lock lock(m_pOwner->m_mutex);
        batch.swap(m_pOwner->m_list);
    }
    if (!batch.empty()) m_pOwner->OnMessages(batch);
}

}  // namespace Nox
