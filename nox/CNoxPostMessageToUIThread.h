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

    // Queues the value. Any thread, the receiving one included; the value is never delivered
    // from inside Post. Only the post that finds the queue empty wakes the receiving thread:
    // the others land in the batch that wake-up will take, so they make no system call.
    void Post(T&& value) {
        // The node is made before the lock, which then covers only the constant-time link.
        std::list<T> node;
        node.push_back(std::move(value));
        Link(node);
    }
    void Post(const T& value) {
        std::list<T> node(1, value);
        Link(node);
    }

    // The receiver: a non-empty batch, oldest first, on the constructing thread, no lock
    // held. The batch is destroyed with its values when this returns.
    virtual void OnMessages(std::list<T>& batch) = 0;

protected:
    void Link(std::list<T>& node) {
        bool bWasEmpty;
        {
            boost::mutex::scoped_lock lock(m_mutex);
            bWasEmpty = m_list.empty();
            m_list.splice(m_list.end(), node);
        }
        if (bWasEmpty) m_signal.Post();
    }

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
