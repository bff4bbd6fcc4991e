// The wake-up channel on a real Qt event loop: delivery thread and order, nested loops,
// destruction, the name registry, a full channel and stale handles.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <QtTest/QTest>

#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "AllocationCounter.h"
#include "CWindowChannel.h"
#include "CWindowImpl.h"

using Platform::CWindowImpl;
using Platform::HWND;
using Platform::LPARAM;
using Platform::LRESULT;
using Platform::UINT;
using Platform::WPARAM;

namespace {

// Taken during static initialisation, before main and before any Qt object exists.
const UINT g_nEarlyMessage = Platform::RegisterWindowMessage(QStringLiteral("velmora test early"));

const char kClassName[] = "Velmora Test Window";

struct CDelivery {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    QThread* pThread;
};

// Handles kHandled and records every delivery; other messages reach DefWindowProc.
class CRecordingWindow : public CWindowImpl {
public:
    static constexpr UINT kHandled = 0x400;

    std::vector<CDelivery> m_delivered;
    std::vector<UINT> m_defaulted;
    std::function<void(const CDelivery&)> m_onMessage;

protected:
    bool ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam,
                              LRESULT& lResult) override {
        if (message != kHandled) return false;
        m_delivered.push_back({message, wParam, lParam, QThread::currentThread()});
        if (m_onMessage) m_onMessage(m_delivered.back());
        lResult = 0;
        return true;
    }
    LRESULT DefWindowProc(UINT message, WPARAM, LPARAM) override {
        m_defaulted.push_back(message);
        return 0;
    }
};

// Runs every event already pending; the channel's descriptor is ready as soon as a post
// returns, so posts made before this call are delivered by it.
void DrainEvents() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

std::set<int> OpenDescriptors() {
    std::set<int> fds;
    const QStringList names =
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System);
    for (const QString& name : names) fds.insert(name.toInt());
    return fds;
}

// Posts with a retry while the channel is full, which only a slow consumer causes.
void PostRetrying(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    while (!Platform::PostMessage(hWnd, message, wParam, lParam)) std::this_thread::yield();
}

}  // namespace

TEST(WindowMessageRegistry, SameNameSameNumberDistinctNamesDistinctNumbers) {
    const UINT nA = Platform::RegisterWindowMessage(QStringLiteral("velmora test A"));
    const UINT nB = Platform::RegisterWindowMessage(QStringLiteral("velmora test B"));
    EXPECT_GE(nA, 0xC000u);
    EXPECT_NE(nA, nB);
    EXPECT_EQ(nA, Platform::RegisterWindowMessage(QStringLiteral("velmora test A")));
    EXPECT_EQ(nB, Platform::RegisterWindowMessage(QStringLiteral("velmora test B")));
    EXPECT_EQ(0u, Platform::RegisterWindowMessage(QString()));
}

TEST(WindowMessageRegistry, UsableBeforeMain) {
    EXPECT_NE(0u, g_nEarlyMessage);
    EXPECT_EQ(g_nEarlyMessage,
              Platform::RegisterWindowMessage(QStringLiteral("velmora test early")));
}

TEST(WindowMessageRegistry, ConcurrentRegistrationsAgree) {
    constexpr int kThreads = 4;
    constexpr int kNames = 200;
    std::vector<std::vector<UINT>> numbers(kThreads, std::vector<UINT>(kNames));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &numbers] {
            for (int i = 0; i < kNames; ++i) {
                const int n = (i + t * 37) % kNames;
                numbers[t][n] =
                    Platform::RegisterWindowMessage(QStringLiteral("velmora concurrent %1").arg(n));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::set<UINT> distinct;
    for (int i = 0; i < kNames; ++i) {
        for (int t = 1; t < kThreads; ++t) EXPECT_EQ(numbers[0][i], numbers[t][i]);
        distinct.insert(numbers[0][i]);
    }
    EXPECT_EQ(static_cast<std::size_t>(kNames), distinct.size());
}

TEST(WindowImpl, CreateGivesAHandleThatNamesItsClass) {
    CRecordingWindow window;
    const HWND hWnd = window.Create(kClassName);
    ASSERT_TRUE(hWnd);
    EXPECT_EQ(hWnd, window.m_hWnd);
    EXPECT_TRUE(Platform::IsWindow(hWnd));
    EXPECT_EQ(QString::fromUtf8(kClassName), Platform::GetClassName(hWnd));
    EXPECT_TRUE(Platform::IsWindowClassRegistered(QString::fromUtf8(kClassName)));
    EXPECT_FALSE(Platform::IsWindowClassRegistered(QStringLiteral("never created")));
    window.DestroyWindow();
    EXPECT_FALSE(window.m_hWnd);
    EXPECT_FALSE(Platform::IsWindow(hWnd));
    EXPECT_TRUE(Platform::GetClassName(hWnd).isEmpty());
}

TEST(WindowImpl, TwoWindowsGetDistinctHandles) {
    CRecordingWindow first;
    CRecordingWindow second;
    ASSERT_TRUE(first.Create(kClassName));
    ASSERT_TRUE(second.Create(kClassName));
    EXPECT_NE(first.m_hWnd, second.m_hWnd);
    ASSERT_TRUE(Platform::PostMessage(first.m_hWnd, CRecordingWindow::kHandled, 1, 0));
    DrainEvents();
    EXPECT_EQ(1u, first.m_delivered.size());
    EXPECT_TRUE(second.m_delivered.empty());
}

TEST(WindowImpl, CreateFailsOnAThreadWithoutEventLoop) {
    HWND hWnd{};
    std::thread thread([&hWnd] {
        CRecordingWindow window;
        hWnd = window.Create(kClassName);
    });
    thread.join();
    EXPECT_FALSE(hWnd);
}

TEST(WindowImpl, EveryDescriptorIsCloseOnExec) {
    const std::set<int> before = OpenDescriptors();
    CRecordingWindow window;
    ASSERT_TRUE(window.Create(kClassName));
    int nNew = 0;
    for (int fd : OpenDescriptors()) {
        if (before.count(fd)) continue;
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags < 0) continue;  // the listing's own descriptor, closed again
        ++nNew;
        EXPECT_TRUE(flags & FD_CLOEXEC) << "descriptor " << fd;
    }
    EXPECT_GE(nNew, 1);
}

TEST(WindowImpl, PostsFromOtherThreadsArriveOnTheOwningThreadOnceEachInOrder) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 3000;
    CRecordingWindow window;
    ASSERT_TRUE(window.Create(kClassName));
    const HWND hWnd = window.m_hWnd;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([hWnd, t] {
            for (int i = 0; i < kPerThread; ++i) {
                PostRetrying(hWnd, CRecordingWindow::kHandled, static_cast<WPARAM>(t), i);
            }
        });
    }
    const bool bAll = QTest::qWaitFor(
        [&] { return window.m_delivered.size() >= std::size_t{kThreads * kPerThread}; }, 20000);
    for (auto& poster : posters) poster.join();
    DrainEvents();
    ASSERT_TRUE(bAll);
    ASSERT_EQ(std::size_t{kThreads * kPerThread}, window.m_delivered.size());
    std::vector<LPARAM> next(kThreads, 0);
    for (const CDelivery& delivery : window.m_delivered) {
        ASSERT_EQ(QThread::currentThread(), delivery.pThread);
        ASSERT_LT(delivery.wParam, static_cast<WPARAM>(kThreads));
        ASSERT_EQ(next[delivery.wParam], delivery.lParam) << "thread " << delivery.wParam;
        ++next[delivery.wParam];
    }
}

TEST(WindowImpl, APostAllocatesNothing) {
    if (!Testing::AllocationsAreCounted()) GTEST_SKIP() << "a sanitizer owns operator new";
    CRecordingWindow window;
    ASSERT_TRUE(window.Create(kClassName));
    const HWND hStale = window.m_hWnd;
    CRecordingWindow live;
    ASSERT_TRUE(live.Create(kClassName));
    window.DestroyWindow();
    const std::size_t nBefore = Testing::AllocationsOnThisThread();
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(Platform::PostMessage(live.m_hWnd, CRecordingWindow::kHandled, 0, i));
        ASSERT_FALSE(Platform::PostMessage(hStale, CRecordingWindow::kHandled, 0, i));
    }
    EXPECT_EQ(nBefore, Testing::AllocationsOnThisThread());
    DrainEvents();
    EXPECT_EQ(100u, live.m_delivered.size());
}

TEST(WindowImpl, APostOnTheOwningThreadIsDeliveredByTheLoopNotByPost) {
    CRecordingWindow window;
    ASSERT_TRUE(window.Create(kClassName));
    ASSERT_TRUE(Platform::PostMessage(window.m_hWnd, CRecordingWindow::kHandled, 0, 0));
    EXPECT_TRUE(window.m_delivered.empty());
    DrainEvents();
    EXPECT_EQ(1u, window.m_delivered.size());
}

TEST(WindowImpl, MessagesTheMapDoesNotHandleGoToTheDefaultHandler) {
    CRecordingWindow window;
    ASSERT_TRUE(window.Create(kClassName));
    const UINT nOther = Platform::RegisterWindowMessage(QStringLiteral("velmora test other"));
    ASSERT_TRUE(Platform::PostMessage(window.m_hWnd, nOther, 0, 0));
    ASSERT_TRUE(Platform::PostMessage(window.m_hWnd, CRecordingWindow::kHandled, 0, 0));
    DrainEvents();
    EXPECT_EQ(std::vector<UINT>{nOther}, window.m_defaulted);
    EXPECT_EQ(1u, window.m_delivered.size());
}

TEST(WindowImpl, NothingIsDeliveredAfterDestruction) {
    CRecordingWindow window;
    ASSERT_TRUE(window.Create(kClassName));
    const HWND hWnd = window.m_hWnd;
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(Platform::PostMessage(hWnd, CRecordingWindow::kHandled, 0, i));
    }
    window.DestroyWindow();
    EXPECT_FALSE(Platform::PostMessage(hWnd, CRecordingWindow::kHandled, 0, 99));
    DrainEvents();
    EXPECT_TRUE(window.m_delivered.empty());
}

TEST(WindowImpl, DestroyingTheWindowFromOneOfItsMessagesDiscardsTheRest) {
    CRecordingWindow window;
    ASSERT_TRUE(window.Create(kClassName));
    window.m_onMessage = [&window](const CDelivery& delivery) {
        if (delivery.lParam == 1) window.DestroyWindow();
    };
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(Platform::PostMessage(window.m_hWnd, CRecordingWindow::kHandled, 0, i));
    }
    DrainEvents();
    ASSERT_EQ(2u, window.m_delivered.size());
    EXPECT_EQ(1, window.m_delivered.back().lParam);
}

TEST(WindowImpl, ALoopNestedInAMessageDeliversTheFollowingOnesInOrder) {
    CRecordingWindow window;
    ASSERT_TRUE(window.Create(kClassName));
    const HWND hWnd = window.m_hWnd;
    int nDepth = 0;
    int nMaxDepth = 0;
    std::vector<LPARAM> nestedDelivered;
    window.m_onMessage = [&](const CDelivery& delivery) {
        if (nDepth > 0) nestedDelivered.push_back(delivery.lParam);
        if (delivery.lParam != 0) return;
        ++nDepth;
        nMaxDepth = std::max(nMaxDepth, nDepth);
        // Posts from another thread while this message runs its own loop.
        std::thread poster([hWnd] {
            for (int i = 3; i < 6; ++i) PostRetrying(hWnd, CRecordingWindow::kHandled, 0, i);
        });
        const bool bNestedAll =
            QTest::qWaitFor([&] { return window.m_delivered.size() >= 6; }, 20000);
        poster.join();
        EXPECT_TRUE(bNestedAll);
        --nDepth;
    };
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(Platform::PostMessage(hWnd, CRecordingWindow::kHandled, 0, i));
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.m_delivered.size() >= 6; }, 20000));
    DrainEvents();
    ASSERT_EQ(6u, window.m_delivered.size());
    for (int i = 0; i < 6; ++i) EXPECT_EQ(i, window.m_delivered[i].lParam);
    EXPECT_EQ((std::vector<LPARAM>{1, 2, 3, 4, 5}), nestedDelivered);
    EXPECT_EQ(1, nMaxDepth);
}

TEST(WindowImpl, AModalLoopDeliversMessagesPostedWhileItRuns) {
    constexpr int kCount = 50;
    CRecordingWindow window;
    ASSERT_TRUE(window.Create(kClassName));
    const HWND hWnd = window.m_hWnd;
    // The loop a modal dialog runs: exec with DialogExec, ended by the dialog's answer.
    QEventLoop modal;
    bool bInModal = false;
    int nInModal = 0;
    window.m_onMessage = [&](const CDelivery&) {
        if (bInModal) ++nInModal;
        if (window.m_delivered.size() == kCount) modal.exit(1);
    };
    std::thread poster;
    QTimer::singleShot(0, &modal, [&] {
        bInModal = true;
        poster = std::thread([hWnd] {
            for (int i = 0; i < kCount; ++i) PostRetrying(hWnd, CRecordingWindow::kHandled, 0, i);
        });
    });
    QTimer::singleShot(20000, &modal, [&modal] { modal.exit(0); });  // only catches a hang
    const int nResult = modal.exec(QEventLoop::DialogExec);
    bInModal = false;
    poster.join();
    EXPECT_EQ(1, nResult);
    EXPECT_EQ(kCount, nInModal);
    ASSERT_EQ(std::size_t{kCount}, window.m_delivered.size());
    for (int i = 0; i < kCount; ++i) EXPECT_EQ(i, window.m_delivered[i].lParam);
}

TEST(WindowImpl, AFullChannelRefusesWithoutBlockingAndDeliversWhatItHolds) {
    CRecordingWindow window;
    ASSERT_TRUE(window.Create(kClassName));
    constexpr int kCapacity = static_cast<int>(Platform::CWindowChannel::kCapacity);
    static_assert(kCapacity >= 4096, "the channel holds at least 4,096 messages");
    for (int i = 0; i < kCapacity; ++i) {
        ASSERT_TRUE(Platform::PostMessage(window.m_hWnd, CRecordingWindow::kHandled, 0, i)) << i;
    }
    // A blocking post would never return here: this thread is the only consumer.
    EXPECT_FALSE(Platform::PostMessage(window.m_hWnd, CRecordingWindow::kHandled, 0, -1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.m_delivered.size() >= kCapacity; }, 20000));
    DrainEvents();
    ASSERT_EQ(std::size_t{kCapacity}, window.m_delivered.size());
    for (int i = 0; i < kCapacity; ++i) ASSERT_EQ(i, window.m_delivered[i].lParam);
    EXPECT_TRUE(Platform::PostMessage(window.m_hWnd, CRecordingWindow::kHandled, 0, kCapacity));
}

TEST(WindowImpl, APostToADestroyedWindowWritesNothingIntoItsReusedDescriptor) {
    const std::set<int> before = OpenDescriptors();
    CRecordingWindow window;
    ASSERT_TRUE(window.Create(kClassName));
    std::vector<int> windowFds;
    for (int fd : OpenDescriptors()) {
        if (!before.count(fd) && ::fcntl(fd, F_GETFD) >= 0) windowFds.push_back(fd);
    }
    ASSERT_FALSE(windowFds.empty());
    const HWND hStale = window.m_hWnd;
    window.DestroyWindow();

    // The window's descriptor numbers now name the write end of a pipe we watch.
    int pipeFds[2];
    ASSERT_EQ(0, ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK));
    for (int fd : windowFds) {
        if (fd == pipeFds[0] || fd == pipeFds[1]) continue;
        ASSERT_EQ(fd, ::dup3(pipeFds[1], fd, O_CLOEXEC));
    }
    // A new window may take the destroyed one's place in the table.
    CRecordingWindow successor;
    ASSERT_TRUE(successor.Create(kClassName));
    EXPECT_NE(hStale, successor.m_hWnd);

    EXPECT_FALSE(Platform::PostMessage(hStale, CRecordingWindow::kHandled, 0, 0));
    EXPECT_FALSE(Platform::IsWindow(hStale));
    pollfd readable{pipeFds[0], POLLIN, 0};
    EXPECT_EQ(0, ::poll(&readable, 1, 0));
    DrainEvents();
    EXPECT_TRUE(successor.m_delivered.empty());
    EXPECT_TRUE(window.m_delivered.empty());

    for (int fd : windowFds) {
        if (fd != pipeFds[0] && fd != pipeFds[1]) ::close(fd);
    }
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

TEST(WindowImpl, HandlesNoWindowEverHadAreRefused) {
    EXPECT_FALSE(Platform::PostMessage(HWND{}, CRecordingWindow::kHandled, 0, 0));
    EXPECT_FALSE(Platform::PostMessage(HWND{0xFFFFFFFFull}, CRecordingWindow::kHandled, 0, 0));
    EXPECT_FALSE(Platform::PostMessage(HWND{(7ull << 32) | 3}, CRecordingWindow::kHandled, 0, 0));
    EXPECT_FALSE(Platform::IsWindow(HWND{}));
}

TEST(WindowImpl, AWindowServesTheLoopOfTheThreadThatCreatedIt) {
    QThread loopThread;
    loopThread.start();
    QObject context;
    context.moveToThread(&loopThread);
    CRecordingWindow* pWindow = nullptr;
    QMetaObject::invokeMethod(
        &context,
        [&pWindow] {
            pWindow = new CRecordingWindow;
            pWindow->Create(kClassName);
        },
        Qt::BlockingQueuedConnection);
    ASSERT_TRUE(pWindow && pWindow->m_hWnd);
    std::atomic<int> nDelivered{0};
    pWindow->m_onMessage = [&nDelivered](const CDelivery&) { ++nDelivered; };
    for (int i = 0; i < 100; ++i) {
        PostRetrying(pWindow->m_hWnd, CRecordingWindow::kHandled, 0, i);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (nDelivered.load() < 100 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    std::vector<CDelivery> delivered;
    QMetaObject::invokeMethod(
        &context,
        [&] {
            delivered = pWindow->m_delivered;
            delete pWindow;
        },
        Qt::BlockingQueuedConnection);
    loopThread.quit();
    loopThread.wait();
    ASSERT_EQ(100u, delivered.size());
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(&loopThread, delivered[i].pThread);
        EXPECT_EQ(i, delivered[i].lParam);
    }
}
