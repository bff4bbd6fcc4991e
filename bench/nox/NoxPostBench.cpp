// Post throughput of the UI-thread signal and queue from 1, 2 and 4 posting threads while a
// Qt event loop drains them, and the post-to-delivery latency on an idle loop.
#include <benchmark/benchmark.h>
#include <time.h>

#include <QCoreApplication>
#include <QObject>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CNoxPostMessageToUIThread.h"
#include "CNoxPostSignalToUIThread.h"
#include "CTimedLines.h"

namespace {

using Clock = std::chrono::steady_clock;

// A thread running a Qt event loop, standing in for the UI thread.
class CUiThread {
public:
    CUiThread() {
        m_thread.start();
        m_context.moveToThread(&m_thread);
    }
    ~CUiThread() {
        m_thread.quit();
        m_thread.wait();
    }
    // Runs fn on the loop's thread and waits for it.
    void Run(const std::function<void()>& fn) {
        QMetaObject::invokeMethod(&m_context, fn, Qt::BlockingQueuedConnection);
    }

private:
    QThread m_thread;
    QObject m_context;
};

CUiThread* g_pUiThread = nullptr;  // lives in main, inside the application object's life

CUiThread& UiThread() { return *g_pUiThread; }

class CCountingSignal final : public Nox::CNoxPostSignalToUIThread {
public:
    std::atomic<std::uint64_t> m_nRuns{0};
    void OnSignal() override { m_nRuns.fetch_add(1, std::memory_order_relaxed); }
};

class CCountingQueue final : public Nox::CNoxPostMessageToUIThread<Platform::CTimedLines> {
public:
    std::atomic<std::uint64_t> m_nDelivered{0};
    std::uint64_t m_nBatches = 0;  // UI thread only
    void OnMessages(std::list<Platform::CTimedLines>& batch) override {
        ++m_nBatches;
        m_nDelivered.fetch_add(batch.size(), std::memory_order_relaxed);
    }
};

class CStampQueue final : public Nox::CNoxPostMessageToUIThread<std::int64_t> {
public:
    std::vector<std::int64_t> m_latencies;  // nanoseconds, written on the UI thread

    void OnMessages(std::list<std::int64_t>& batch) override {
        const std::int64_t nNow = Clock::now().time_since_epoch().count();
        for (std::int64_t nStamp : batch) m_latencies.push_back(nNow - nStamp);
        std::lock_guard<std::mutex> lock(m_mutexDelivered);
        m_nDelivered += batch.size();
        m_delivered.notify_one();
    }

    // The poster sleeps while it waits, leaving the processor to the loop it measures.
    void WaitDelivered(std::uint64_t nCount) {
        std::unique_lock<std::mutex> lock(m_mutexDelivered);
        m_delivered.wait(lock, [this, nCount] { return m_nDelivered >= nCount; });
    }

private:
    std::mutex m_mutexDelivered;
    std::condition_variable m_delivered;
    std::uint64_t m_nDelivered = 0;
};

// Shared by the threads of one multi-threaded run; made and destroyed by thread 0, outside
// the timed loop (which starts and ends with a barrier).
CCountingSignal* g_pSignal = nullptr;
CCountingQueue* g_pQueue = nullptr;

// A 36-character log line as the worker builds it: endpoint, arrow, a 17-byte message.
std::string Line(int nThread) {
    return "127.0.0.1:" + std::to_string(50000 + nThread) + " -> c00001s0000000042";
}

// The wall clock in milliseconds, as the worker stamps each block.
std::int64_t WallMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void BM_SignalPost(benchmark::State& state) {
    if (state.thread_index() == 0) {
        UiThread().Run([] { g_pSignal = new CCountingSignal; });
    }
    for (auto _ : state) g_pSignal->Post();
    if (state.thread_index() == 0) {
        // Runs of OnSignal per post: each run answered a wake-up, so this is the share of
        // posts that queued a wake-up message rather than finding two queued.
        UiThread().Run([&state] {
            state.counters["runs_per_post"] =
                static_cast<double>(g_pSignal->m_nRuns.load()) /
                static_cast<double>(std::max<benchmark::IterationCount>(1, state.iterations()));
            delete g_pSignal;
            g_pSignal = nullptr;
        });
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SignalPost)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();

void BM_QueuePost(benchmark::State& state) {
    if (state.thread_index() == 0) {
        UiThread().Run([] { g_pQueue = new CCountingQueue; });
    }
    // Built anew and stamped for every post and moved in, as the worker does with each
    // block: the timed loop holds the clock, the line's allocation and the node's.
    const std::string model = Line(state.thread_index());
    for (auto _ : state)
        g_pQueue->Post(Platform::CTimedLines{WallMilliseconds(), std::string(model)});
    if (state.thread_index() == 0) {
        // How well the wake-ups coalesce: values handed over per call of OnMessages.
        UiThread().Run([&state] {
            state.counters["values_per_batch"] =
                static_cast<double>(g_pQueue->m_nDelivered.load()) /
                static_cast<double>(std::max<std::uint64_t>(1, g_pQueue->m_nBatches));
            delete g_pQueue;
            g_pQueue = nullptr;
        });
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueuePost)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();

// The posting thread's own processor time: on a shared machine wall time also counts the
// time the thread waits for a processor.
double ThreadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Post alone: lines built ahead in blocks, untimed, then each moved in by a Post timed in
// the posting thread's processor time, freeing the delivered lines it takes back included.
void BM_QueuePostPrebuilt(benchmark::State& state) {
    constexpr std::size_t kBlock = 4096;
    UiThread().Run([] { g_pQueue = new CCountingQueue; });
    std::vector<Platform::CTimedLines> lines(kBlock);
    for (auto _ : state) {
        for (Platform::CTimedLines& line : lines) line = {WallMilliseconds(), Line(0)};
        const double start = ThreadSeconds();
        for (Platform::CTimedLines& line : lines) g_pQueue->Post(std::move(line));
        state.SetIterationTime(ThreadSeconds() - start);
    }
    UiThread().Run([] {
        delete g_pQueue;
        g_pQueue = nullptr;
    });
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kBlock));
}
BENCHMARK(BM_QueuePostPrebuilt)->UseManualTime();

// One value at a time on an idle loop: post, wait for its delivery, let the loop fall asleep.
void BM_QueueLatency(benchmark::State& state) {
    CStampQueue* pQueue = nullptr;
    UiThread().Run([&pQueue] { pQueue = new CStampQueue; });
    std::uint64_t nPosted = 0;
    const auto roundTrip = [pQueue, &nPosted] {
        pQueue->Post(Clock::now().time_since_epoch().count());
        pQueue->WaitDelivered(++nPosted);
    };
    // Untimed round trips first, so that the loop's first wake-ups do not count.
    for (int i = 0; i < 100; ++i) roundTrip();
    UiThread().Run([pQueue, &state] {
        pQueue->m_latencies.clear();
        pQueue->m_latencies.reserve(static_cast<std::size_t>(state.max_iterations));
    });
    for (auto _ : state) {
        roundTrip();
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        state.ResumeTiming();
    }
    std::vector<std::int64_t> latencies;
    UiThread().Run([&] {
        latencies = pQueue->m_latencies;
        delete pQueue;
    });
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        const auto at = [&latencies](double q) {
            const auto n = static_cast<std::size_t>(q * static_cast<double>(latencies.size() - 1));
            return static_cast<double>(latencies[n]) / 1000.0;
        };
        state.counters["median_us"] = at(0.50);
        state.counters["p99_us"] = at(0.99);
        state.counters["max_us"] = at(1.0);
    }
}
BENCHMARK(BM_QueueLatency)->Iterations(20000)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    CUiThread uiThread;
    g_pUiThread = &uiThread;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_pUiThread = nullptr;
    return 0;
}
