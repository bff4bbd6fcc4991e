#pragma once

#include <boost/noncopyable.hpp>

#include <list>

#include "CNoxBriefMutex.h"
#include "CNoxPostSignalToUIThread.h"

namespace Nox {

// A queue of values that any thread posts and that reach OnMessages on the thread that
// constructed the queue, in posting order and in batches. A posting thread never waits for
// that thread; the two locks (the queue's and its signal's) are never held together, and
// neither is held while OnMessages runs.
//
// A delivered batch comes back to the posting side when the next one is taken; the next Post
// then frees it after its lock, so values and nodes are freed on the thread that allocated
// them (a single poster reuses its own allocator caches) and the receiving thread frees
// nothing. At most two batches wait so.
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
        std::list<T> m_delivered;  // what OnMessages left, handed back with the next batch
    };

    // Runs on the thread that is to receive the values; it must run a Qt event loop.
    CNoxPostMessageToUIThread() { m_signal.m_pOwner = this; }

    // Queues the value. Any thread, the receiving one included; the value is never delivered
    // from inside Post. Only a post that finds the receiving thread idle wakes it: the others
    // land in a batch it is about to take, so they make no system call.
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
    // held. What it leaves in the batch is freed on the posting side, or with the queue.
    virtual void OnMessages(std::list<T>& batch) = 0;

protected:
    // Links the node and takes the delivered batches, which are freed on leaving, after the
    // lock and the wake-up.
    void Link(std::list<T>& node) {
        std::list<T> spent;
        bool bWake;
        {
            CNoxBriefMutex::scoped_lock lock(m_mutex);
            m_list.splice(m_list.end(), node);
            spent.swap(m_spent);
            bWake = !m_bAwake;
            m_bAwake = true;
        }
        if (bWake) m_signal.Post();
    }

    // Never deleted through this base. Values still queued are dropped, then the signal
    // discards its queued wake-ups.
    ~CNoxPostMessageToUIThread() = default;

    CSignal m_signal;
    std::list<T> m_list;   // posted and not yet taken, oldest first
    std::list<T> m_spent;  // delivered, for the next Post to free
    // From the wake-up a post sends until a turn of the receiving thread finds the queue
    // empty; posts meanwhile need no wake-up of their own.
    bool m_bAwake = false;
    CNoxBriefMutex m_mutex;  // guards m_list, m_spent and m_bAwake only
};

template <class T>
void CNoxPostMessageToUIThread<T>::CSignal::OnSignal() {
    std::list<T> batch;
    {
        // One lock a batch: the previous batch goes back as this one is taken.
        CNoxBriefMutex::scoped_lock lock(m_pOwner->m_mutex);
        m_pOwner->m_spent.splice(m_pOwner->m_spent.end(), m_delivered);
        batch.swap(m_pOwner->m_list);
        if (batch.empty()) m_pOwner->m_bAwake = false;
    }
    if (batch.empty()) return;
    m_pOwner->OnMessages(batch);
    m_delivered.swap(batch);
    // One more turn of this thread's loop takes what was posted meanwhile: while values keep
    // coming, the posting threads never have to wake this one, which is the costly part of a
    // wake-up; the first turn that finds nothing ends it.
    Post();
}

}  // namespace Nox
