// The UI-thread signal on a real Qt event loop: coalescing, the counts, re-entry, nested
// loops, destruction with wake-ups queued, and one window per signal object.
#include <gtest/gtest.h>

#include <boost/thread/mutex.hpp>

#include <QCoreApplication>
#include <QEventLoop>
#include <QtTest/QTest>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "AllocationCounter.h"
#include "CNoxPostSignalToUIThread.h"
#include "CWindowImpl.h"

namespace {

using Nox::CNoxPostSignalToUIThread;

class CCountingSignal : public CNoxPostSignalToUIThread {
public:
    int m_nRuns = 0;
    int m_nDepth = 0;
    int m_nMaxDepth = 0;
    int* m_pRunsOutside = nullptr;  // survives the object
    std::function<void()> m_onSignal;

    void OnSignal() override {
        ++m_nRuns;
        if (m_pRunsOutside) ++*m_pRunsOutside;
        m_nMaxDepth = std::max(m_nMaxDepth, ++m_nDepth);
        if (m_onSignal) m_onSignal();
        --m_nDepth;
    }

    std::uint32_t Posted() const {
        boost::mutex::scoped_lock lock(GetInner()->m_mutex);
        return GetInner()->m_nPosted;
    }
    std::uint32_t Pending() const {
        boost::mutex::scoped_lock lock(GetInner()->m_mutex);
        return GetInner()->m_nPending;
    }
};

// Runs every event already pending.
void DrainEvents() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// Lets the loop handle every wake-up the signal has queued.
bool HandleQueuedWakeUps(const CCountingSignal& signal) {
    const bool bDone = QTest::qWaitFor([&signal] { return signal.Posted() == 0; }, 20000);
    DrainEvents();
    return bDone;
}

}  // namespace

TEST(NoxSignal, TheWakeUpMessageHasTheDesktopName) {
    EXPECT_EQ(QStringLiteral("class Nox::CNoxPostSignalToUIThread Message"),
              CNoxPostSignalToUIThread::GetMessageName());
    EXPECT_NE(0u, CNoxPostSignalToUIThread::GetMessage());
    EXPECT_EQ(CNoxPostSignalToUIThread::GetMessage(),
              Platform::RegisterWindowMessage(
                  QStringLiteral("class Nox::CNoxPostSignalToUIThread Message")));
}

TEST(NoxSignal, TheHiddenWindowIsOfTheLibrarysClass) {
    CCountingSignal signal;
    ASSERT_TRUE(Platform::IsWindow(signal.GetInner()->m_hWnd));
    EXPECT_EQ(QStringLiteral("CAsyncEventToUIThread Window"),
              Platform::GetClassName(signal.GetInner()->m_hWnd));
}

TEST(NoxSignal, ABurstQueuesTwoWakeUpsRunsTwiceAndLeavesTheRestPending) {
    constexpr std::uint32_t kPosts = 7;
    CCountingSignal signal;
    for (std::uint32_t i = 0; i < kPosts; ++i) signal.Post();
    EXPECT_EQ(0, signal.m_nRuns);
    EXPECT_EQ(2u, signal.Posted());
    EXPECT_EQ(kPosts, signal.Pending());
    ASSERT_TRUE(HandleQueuedWakeUps(signal));
    EXPECT_EQ(2, signal.m_nRuns);
    EXPECT_EQ(kPosts - 2, signal.Pending());

    // A single later post runs it once more.
    signal.Post();
    EXPECT_EQ(1u, signal.Posted());
    ASSERT_TRUE(HandleQueuedWakeUps(signal));
    EXPECT_EQ(3, signal.m_nRuns);
    EXPECT_EQ(kPosts - 2, signal.Pending());
}

TEST(NoxSignal, PostAllocatesNothing) {
    if (!Testing::AllocationsAreCounted()) GTEST_SKIP() << "a sanitizer owns operator new";
    CCountingSignal signal;
    const std::size_t nBefore = Testing::AllocationsOnThisThread();
    for (int i = 0; i < 100; ++i) signal.Post();
    EXPECT_EQ(nBefore, Testing::AllocationsOnThisThread());
    ASSERT_TRUE(HandleQueuedWakeUps(signal));
    EXPECT_EQ(2, signal.m_nRuns);
}

TEST(NoxSignal, ABurstFromAnotherThreadQueuesTwoWakeUps) {
    CCountingSignal signal;
    std::thread poster([&signal] {
        for (int i = 0; i < 1000; ++i) signal.Post();
    });
    poster.join();
    EXPECT_EQ(2u, signal.Posted());
    ASSERT_TRUE(HandleQueuedWakeUps(signal));
    EXPECT_EQ(2, signal.m_nRuns);
    EXPECT_EQ(998u, signal.Pending());
}

TEST(NoxSignal, APostFromInsideOnSignalRunsOnlyAfterItReturns) {
    CCountingSignal signal;
    int nRunsSeenAfterPost = -1;
    signal.m_onSignal = [&] {
        if (signal.m_nRuns != 1) return;
        signal.Post();
        nRunsSeenAfterPost = signal.m_nRuns;
    };
    signal.Post();
    ASSERT_TRUE(QTest::qWaitFor([&] { return signal.m_nRuns >= 2; }, 20000));
    ASSERT_TRUE(HandleQueuedWakeUps(signal));
    EXPECT_EQ(1, nRunsSeenAfterPost);
    EXPECT_EQ(2, signal.m_nRuns);
    EXPECT_EQ(1, signal.m_nMaxDepth);
}

TEST(NoxSignal, ALoopNestedInOnSignalNeverReentersItAndItsPostsAreServedAfterwards) {
    CCountingSignal signal;
    bool bNestedDone = false;
    signal.m_onSignal = [&] {
        if (signal.m_nRuns != 1) return;
        std::atomic<bool> bPosted{false};
        std::thread poster([&] {
            for (int i = 0; i < 5; ++i) signal.Post();
            bPosted = true;
        });
        // The nested loop handles every wake-up those posts send while this entry is busy.
        bNestedDone =
            QTest::qWaitFor([&] { return bPosted.load() && signal.Posted() == 0; }, 20000);
        poster.join();
        EXPECT_EQ(1, signal.m_nRuns);
    };
    signal.Post();
    ASSERT_TRUE(QTest::qWaitFor([&] { return signal.m_nRuns >= 2; }, 20000));
    ASSERT_TRUE(HandleQueuedWakeUps(signal));
    EXPECT_TRUE(bNestedDone);
    EXPECT_EQ(1, signal.m_nMaxDepth);
    EXPECT_EQ(2, signal.m_nRuns);
    EXPECT_EQ(4u, signal.Pending());

    // The signal is not stuck: a later post still runs it.
    signal.Post();
    ASSERT_TRUE(HandleQueuedWakeUps(signal));
    EXPECT_EQ(3, signal.m_nRuns);
}

TEST(NoxSignal, DestroyingTheObjectDiscardsItsQueuedWakeUps) {
    int nRuns = 0;
    auto spSignal = std::make_unique<CCountingSignal>();
    spSignal->m_pRunsOutside = &nRuns;
    const Platform::HWND hWnd = spSignal->GetInner()->m_hWnd;
    for (int i = 0; i < 3; ++i) spSignal->Post();
    ASSERT_EQ(2u, spSignal->Posted());
    spSignal.reset();
    EXPECT_FALSE(Platform::IsWindow(hWnd));
    DrainEvents();
    EXPECT_EQ(0, nRuns);

    // Another object on the same thread is unaffected.
    CCountingSignal next;
    next.Post();
    ASSERT_TRUE(HandleQueuedWakeUps(next));
    EXPECT_EQ(1, next.m_nRuns);
}

TEST(NoxSignal, TwoObjectsOnOneThreadHaveSeparateWindowsEachServingItsOwn) {
    CCountingSignal first;
    CCountingSignal second;
    CNoxPostSignalToUIThread::CInner* pFirst = first.GetInner();
    CNoxPostSignalToUIThread::CInner* pSecond = second.GetInner();
    EXPECT_NE(pFirst->m_hWnd, pSecond->m_hWnd);
    ASSERT_NE(nullptr, pFirst->m_tspWindow.get());
    ASSERT_NE(nullptr, pSecond->m_tspWindow.get());
    EXPECT_NE(pFirst->m_tspWindow.get(), pSecond->m_tspWindow.get());
    EXPECT_EQ(1u, pFirst->m_tspWindow->m_listTarget.size());
    EXPECT_EQ(1u, pSecond->m_tspWindow->m_listTarget.size());

    first.Post();
    ASSERT_TRUE(HandleQueuedWakeUps(first));
    EXPECT_EQ(1, first.m_nRuns);
    EXPECT_EQ(0, second.m_nRuns);

    second.Post();
    second.Post();
    ASSERT_TRUE(HandleQueuedWakeUps(second));
    EXPECT_EQ(1, first.m_nRuns);
    EXPECT_EQ(2, second.m_nRuns);
}

TEST(NoxSignal, OtherMessagesToTheHiddenWindowDoNotRunOnSignal) {
    CCountingSignal signal;
    const Platform::UINT nOther =
        Platform::RegisterWindowMessage(QStringLiteral("velmora nox test other"));
    ASSERT_TRUE(Platform::PostMessage(signal.GetInner()->m_hWnd, nOther, 0, 0));
    DrainEvents();
    EXPECT_EQ(0, signal.m_nRuns);
    EXPECT_EQ(0u, signal.Posted());
}

TEST(NoxSignal, PostsFromManyThreadsAreAllAnsweredAndTheCountsStayInBounds) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 20000;
    CCountingSignal signal;
    std::uint32_t nMaxPosted = 0;
    signal.m_onSignal = [&] { nMaxPosted = std::max(nMaxPosted, signal.Posted()); };
    std::atomic<int> nDone{0};
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&] {
            for (int i = 0; i < kPerThread; ++i) signal.Post();
            ++nDone;
        });
    }
    const bool bFinished = QTest::qWaitFor([&] { return nDone.load() == kThreads; }, 20000);
    for (auto& poster : posters) poster.join();
    ASSERT_TRUE(bFinished);
    ASSERT_TRUE(HandleQueuedWakeUps(signal));
    EXPECT_GE(signal.m_nRuns, 1);
    EXPECT_LE(nMaxPosted, 2u);
    // Every post is either answered by a run or still counted as pending.
    EXPECT_EQ(static_cast<std::uint32_t>(kThreads * kPerThread),
              static_cast<std::uint32_t>(signal.m_nRuns) + signal.Pending());
}
