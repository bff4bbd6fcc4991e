// The UI-thread message queue on a real Qt event loop: batches, order, posts from the UI
// thread and from inside the receiver, many posting threads, and destruction with values
// still queued.
#include <gtest/gtest.h>

#include <boost/thread/mutex.hpp>

#include <QCoreApplication>
#include <QEventLoop>
#include <QtTest/QTest>

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "AllocationCounter.h"
#include "CNoxPostMessageToUIThread.h"
#include "CString.h"

namespace {

template <class T>
class CCollectingQueue : public Nox::CNoxPostMessageToUIThread<T> {
public:
    std::vector<std::vector<T>> m_batches;
    std::function<void(std::list<T>&)> m_onMessages;
    int* m_pCallsOutside = nullptr;  // survives the object

    ~CCollectingQueue() = default;

    void OnMessages(std::list<T>& batch) override {
        if (m_pCallsOutside) ++*m_pCallsOutside;
        m_batches.emplace_back(batch.begin(), batch.end());
        if (m_onMessages) m_onMessages(batch);
    }

    // Sends a wake-up without a value, as a coalesced second wake-up does.
    void PostWakeUpOnly() { this->m_signal.Post(); }

    std::uint32_t Posted() const {
        Nox::CNoxPostSignalToUIThread::CInner* pInner = this->m_signal.GetInner();
        boost::mutex::scoped_lock lock(pInner->m_mutex);
        return pInner->m_nPosted;
    }

    std::size_t Delivered() const {
        std::size_t n = 0;
        for (const auto& batch : m_batches) n += batch.size();
        return n;
    }
};

// Counts its live copies, to see that values are freed.
struct CCounted {
    static std::atomic<int> s_nLive;
    int m_nValue;
    explicit CCounted(int nValue) : m_nValue(nValue) { ++s_nLive; }
    CCounted(const CCounted& other) : m_nValue(other.m_nValue) { ++s_nLive; }
    CCounted& operator=(const CCounted&) = default;
    ~CCounted() { --s_nLive; }
};
std::atomic<int> CCounted::s_nLive{0};

void DrainEvents() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

template <class T>
bool HandleQueuedWakeUps(const CCollectingQueue<T>& queue) {
    const bool bDone = QTest::qWaitFor([&queue] { return queue.Posted() == 0; }, 20000);
    DrainEvents();
    return bDone;
}

}  // namespace

TEST(NoxQueue, ValuesPostedBeforeDispatchArriveInOneBatchInOrder) {
    constexpr int kValues = 100;
    CCollectingQueue<int> queue;
    std::thread poster([&queue] {
        for (int i = 0; i < kValues; ++i) queue.Post(i);
    });
    poster.join();
    // Only the first post found the queue empty and woke the thread.
    EXPECT_EQ(1u, queue.Posted());
    ASSERT_TRUE(HandleQueuedWakeUps(queue));
    ASSERT_EQ(1u, queue.m_batches.size());
    ASSERT_EQ(std::size_t{kValues}, queue.m_batches[0].size());
    for (int i = 0; i < kValues; ++i) EXPECT_EQ(i, queue.m_batches[0][i]);
}

TEST(NoxQueue, PostAllocatesOneListNodePerValue) {
    if (!Testing::AllocationsAreCounted()) GTEST_SKIP() << "a sanitizer owns operator new";
    CCollectingQueue<int> queue;
    const std::size_t nBefore = Testing::AllocationsOnThisThread();
    for (int i = 0; i < 100; ++i) queue.Post(i);
    EXPECT_EQ(nBefore + 100, Testing::AllocationsOnThisThread());
    ASSERT_TRUE(HandleQueuedWakeUps(queue));
    EXPECT_EQ(100u, queue.Delivered());
}

TEST(NoxQueue, AWakeUpThatFindsTheQueueEmptyCallsNothing) {
    CCollectingQueue<int> queue;
    queue.PostWakeUpOnly();
    ASSERT_TRUE(HandleQueuedWakeUps(queue));
    EXPECT_TRUE(queue.m_batches.empty());
}

TEST(NoxQueue, AValuePostedOnTheUIThreadIsNeverDeliveredFromInsidePost) {
    CCollectingQueue<CString> queue;
    queue.Post(QStringLiteral("one"));
    EXPECT_TRUE(queue.m_batches.empty());
    ASSERT_TRUE(HandleQueuedWakeUps(queue));
    ASSERT_EQ(1u, queue.m_batches.size());
    EXPECT_EQ(std::vector<CString>{QStringLiteral("one")}, queue.m_batches[0]);
}

TEST(NoxQueue, AValuePostedDuringOnMessagesArrivesInTheNextBatch) {
    CCollectingQueue<CString> queue;
    queue.m_onMessages = [&queue](std::list<CString>& batch) {
        if (queue.m_batches.size() != 1) return;
        queue.Post(QStringLiteral("late"));
        EXPECT_EQ(2u, batch.size());  // not added to the batch being delivered
    };
    queue.Post(QStringLiteral("a"));
    queue.Post(QStringLiteral("b"));
    ASSERT_TRUE(QTest::qWaitFor([&queue] { return queue.m_batches.size() >= 2; }, 20000));
    ASSERT_TRUE(HandleQueuedWakeUps(queue));
    ASSERT_EQ(2u, queue.m_batches.size());
    EXPECT_EQ((std::vector<CString>{QStringLiteral("a"), QStringLiteral("b")}), queue.m_batches[0]);
    EXPECT_EQ(std::vector<CString>{QStringLiteral("late")}, queue.m_batches[1]);
}

TEST(NoxQueue, ValuesFromFourThreadsArriveExactlyOnceEachThreadsInOrder) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 25000;
    CCollectingQueue<std::pair<int, int>> queue;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&queue, t] {
            for (int i = 0; i < kPerThread; ++i) queue.Post({t, i});
        });
    }
    const bool bAll = QTest::qWaitFor(
        [&queue] { return queue.Delivered() >= std::size_t{kThreads * kPerThread}; }, 20000);
    for (auto& poster : posters) poster.join();
    ASSERT_TRUE(bAll);
    ASSERT_TRUE(HandleQueuedWakeUps(queue));
    ASSERT_EQ(std::size_t{kThreads * kPerThread}, queue.Delivered());
    std::vector<int> next(kThreads, 0);
    for (const auto& batch : queue.m_batches) {
        ASSERT_FALSE(batch.empty());
        for (const auto& value : batch) {
            ASSERT_EQ(next[value.first], value.second) << "thread " << value.first;
            ++next[value.first];
        }
    }
}

TEST(NoxQueue, DestroyingTheQueueFreesQueuedValuesWithoutDelivery) {
    int nCalls = 0;
    {
        auto spQueue = std::make_unique<CCollectingQueue<CCounted>>();
        spQueue->m_pCallsOutside = &nCalls;
        for (int i = 0; i < 10; ++i) spQueue->Post(CCounted(i));
        EXPECT_EQ(10, CCounted::s_nLive.load());
    }
    EXPECT_EQ(0, CCounted::s_nLive.load());
    DrainEvents();
    EXPECT_EQ(0, nCalls);
}

TEST(NoxQueue, DeliveredValuesAreFreedByTheNextPostOnItsThread) {
    CCollectingQueue<CCounted> queue;
    const auto postFromThread = [&queue](int nFirst, int nCount) {
        int nLiveAfter = -1;
        std::thread([&queue, nFirst, nCount, &nLiveAfter] {
            for (int i = nFirst; i < nFirst + nCount; ++i) queue.Post(CCounted(i));
            nLiveAfter = CCounted::s_nLive.load();
        }).join();
        return nLiveAfter;
    };
    postFromThread(0, 5);
    ASSERT_TRUE(HandleQueuedWakeUps(queue));
    ASSERT_EQ(1u, queue.m_batches.size());
    queue.m_batches.clear();
    // The delivered batch waits for the posting side: it was not freed on this thread.
    EXPECT_EQ(5, CCounted::s_nLive.load());
    EXPECT_EQ(1, postFromThread(5, 1));
    ASSERT_TRUE(HandleQueuedWakeUps(queue));
    queue.m_batches.clear();
}
