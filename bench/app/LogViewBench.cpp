// The log view at sizes the dialog's benchmarks cannot reach in bounded time: lines appended
// straight to a shown view in delivered-size batches, one batch per turn of the event loop,
// while a 10 ms timer measures the UI thread's lateness.
//
//   QT_QPA_PLATFORM=offscreen velmora_logview_bench --case find [--lines 100000000]
//   QT_QPA_PLATFORM=offscreen velmora_logview_bench --case save [--lines 10000000]
//
// find: then, from the caret at the end, Find wraps round to a line among the first 1,000.
// save: then Save Log As writes the whole log to a file under $TMPDIR (removed afterwards).
//
//   QT_QPA_PLATFORM=offscreen velmora_logview_bench --case filter [--lines 10000000]
//
// filter: then a filter for "-> message 5" (1,111,111 of 10 million lines) scans the whole
// store, while each timer tick also asks the view's accessible text what a screen reader
// asks (the length, the last line, the caret); the answer's time is the tick's lateness plus
// those calls. Memory per match: the index's own bytes, and RssAnon grown during the scan.
//
//   tests/e2e/with-display.sh velmora_logview_bench --case paint [--frames 300]
//
// paint: full repaints of a 1200 x 700 view, of plain rows and of rows with control pictures.
// Every phase stops at --max-seconds.
#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "CLogFilter.h"
#include "CLogView.h"

namespace {

using Platform::CLogView;

constexpr int kBatchLines = 8192;

long AnonKib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("RssAnon:", 0) == 0) return std::atol(line.c_str() + 8);
    return 0;
}

// Lateness of a 10 ms precise timer, collected while a phase runs.
class CLateness {
public:
    CLateness() {
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const double fLate = std::max<double>(0.0, m_clock.nsecsElapsed() / 1e6 - 10.0);
            m_late.push_back(fLate);
            if (m_probe) {
                QElapsedTimer call;
                call.start();
                m_probe();
                m_answer.push_back(fLate + call.nsecsElapsed() / 1e6);
            }
            m_clock.restart();
        });
    }
    // Calls made at every tick, timed with the tick's lateness as the time to an answer.
    void SetProbe(std::function<void()> probe) { m_probe = std::move(probe); }
    void Start() {
        m_late.clear();
        m_answer.clear();
        m_clock.start();
        m_timer.start(10);
    }
    void Stop() { m_timer.stop(); }
    void Print(const char* pWhat) {
        PrintSorted("UI 10 ms timer during", pWhat, "ticks", m_late);
        if (m_probe) PrintSorted("accessibility answers during", pWhat, "calls", m_answer);
    }

private:
    static void PrintSorted(const char* pKind, const char* pWhat, const char* pUnit,
                            std::vector<double> values) {
        std::sort(values.begin(), values.end());
        const auto at = [&values](double p) {
            return values.empty() ? 0.0 : values[static_cast<std::size_t>(p * (values.size() - 1))];
        };
        std::printf("  %s %s, %zu %s: median %.2f ms, p99 %.2f ms, max %.2f ms\n", pKind, pWhat,
                    values.size(), pUnit, at(0.5), at(0.99), values.empty() ? 0.0 : values.back());
    }

    QTimer m_timer;
    QElapsedTimer m_clock;
    std::vector<double> m_late;
    std::vector<double> m_answer;
    std::function<void()> m_probe;
};

// Runs the event loop until done() or the bound; false at the bound.
template <typename Done>
bool RunUntil(Done done, double fSeconds) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (!done()) {
        if (elapsed.elapsed() > fSeconds * 1000) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}

bool Fill(CLogView& view, CLateness& lateness, long long nLines, double fMaxSeconds) {
    const long anon0 = AnonKib();
    long long nNext = 0;
    char text[64];
    QElapsedTimer elapsed;
    elapsed.start();
    lateness.Start();
    // One batch per turn, as the dialog delivers them.
    QTimer feeder;
    QObject::connect(&feeder, &QTimer::timeout, [&] {
        std::list<Platform::CTimedLines> batch;
        // The batch's lines arrive together, as a block's do.
        const std::int64_t nTime = std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                       .count();
        for (int i = 0; i < kBatchLines && nNext < nLines; ++i, ++nNext) {
            const int n = std::snprintf(text, sizeof text, "127.0.0.1:%d -> message %lld",
                                        40000 + static_cast<int>(nNext % 1000), nNext);
            batch.push_back({nTime, std::string(text, static_cast<std::size_t>(n))});
        }
        view.AppendLines(std::move(batch));
    });
    feeder.start(0);
    const bool bDone = RunUntil([&] { return nNext >= nLines; }, fMaxSeconds);
    feeder.stop();
    lateness.Stop();
    const double fSeconds = elapsed.elapsed() / 1000.0;
    std::printf(
        "  appended %lld lines in %.1f s (%.0f lines/s)%s; RssAnon +%ld kB, store %zu kB in "
        "memory, %llu dropped\n",
        nNext, fSeconds, nNext / fSeconds, bDone ? "" : " (stopped at the bound)",
        AnonKib() - anon0, view.Store().MemoryBytes() / 1024,
        static_cast<unsigned long long>(view.Store().DroppedLines()));
    lateness.Print("appending");
    return bDone;
}

int Find(CLogView& view, CLateness& lateness, double fMaxSeconds) {
    const CLogView::CPosition end{view.LineCount() - 1, 0};
    view.SetSelection(end, end);
    bool bFinished = false;
    bool bFound = false;
    QObject::connect(&view, &CLogView::searchFinished, [&](bool b) {
        bFinished = true;
        bFound = b;
    });
    QElapsedTimer elapsed;
    elapsed.start();
    lateness.Start();
    view.Find(QStringLiteral("-> message 500"), false);
    RunUntil([&] { return bFinished; }, fMaxSeconds);
    lateness.Stop();
    std::printf("  Find from the end, wrapping: %s line %llu after %.3f s\n",
                bFound ? "found on" : "NOT found; caret on",
                static_cast<unsigned long long>(view.Caret().nLine), elapsed.elapsed() / 1000.0);
    lateness.Print("the search");
    return bFound && view.Caret().nLine <= 1000 ? 0 : 1;
}

int Save(CLogView& view, CLateness& lateness, double fMaxSeconds) {
    const QString path = QDir::temp().filePath(QStringLiteral("velmora-bench-save.log"));
    CLogView::SetSaveFileNameScript([path](QWidget*) { return path; });
    bool bFinished = false;
    QString error;
    QObject::connect(&view, &CLogView::saveFinished, [&](const QString& e) {
        bFinished = true;
        error = e;
    });
    QElapsedTimer elapsed;
    elapsed.start();
    lateness.Start();
    view.SaveLogAs();
    RunUntil([&] { return bFinished; }, fMaxSeconds);
    lateness.Stop();
    const double fSeconds = elapsed.elapsed() / 1000.0;
    const qint64 nBytes = QFile(path).size();
    QFile::remove(path);
    std::printf("  Save Log As: %s%lld bytes in %.2f s (%.0f MB/s)\n",
                bFinished ? "" : "NOT finished; ", static_cast<long long>(nBytes), fSeconds,
                nBytes / fSeconds / 1e6);
    if (!error.isEmpty()) std::printf("  error: %s\n", qPrintable(error));
    lateness.Print("the save");
    return bFinished && error.isEmpty() ? 0 : 1;
}

int Filter(CLogView& view, CLateness& lateness, double fMaxSeconds) {
    QAccessibleTextInterface* pText = QAccessible::queryAccessibleInterface(&view)->textInterface();
    int nAnswered = 0;
    lateness.SetProbe([&] {
        const int nCount = pText->characterCount();
        int nStart = 0;
        int nEnd = 0;
        pText->textAtOffset(std::max(0, nCount - 1), QAccessible::LineBoundary, &nStart, &nEnd);
        pText->cursorPosition();
        ++nAnswered;
    });
    bool bFinished = false;
    QObject::connect(&view, &CLogView::filterFinished, [&] { bFinished = true; });
    const long anon0 = AnonKib();
    QElapsedTimer elapsed;
    elapsed.start();
    lateness.Start();
    view.Filter(QStringLiteral("-> message 5"));
    RunUntil([&] { return bFinished; }, fMaxSeconds);
    const double fSeconds = elapsed.elapsed() / 1000.0;
    lateness.Stop();
    const long nAnonKib = AnonKib() - anon0;
    const Platform::CLogFilter* pFilter = view.ActiveFilter();
    const std::uint64_t nMatches = pFilter->Index().Count();
    const std::size_t nIndexBytes = pFilter->Index().MemoryBytes();
    std::printf("  filter \"-> message 5\": %s%llu of %llu lines after %.3f s\n",
                bFinished ? "" : "NOT finished; ", static_cast<unsigned long long>(nMatches),
                static_cast<unsigned long long>(view.Store().LineCount()), fSeconds);
    std::printf("  memory per match: index %.2f B (%zu B), RssAnon %+.2f B (%+ld kB)\n",
                nMatches ? static_cast<double>(nIndexBytes) / nMatches : 0.0, nIndexBytes,
                nMatches ? nAnonKib * 1024.0 / nMatches : 0.0, nAnonKib);
    lateness.Print("the filter's scan");
    lateness.SetProbe(nullptr);
    // Every tenth line has 5 for its first digit, one in nine of the rest at each length.
    std::uint64_t nExpected = 0;
    for (std::uint64_t nFrom = 5, nWidth = 1; nFrom < view.Store().LineCount();
         nFrom *= 10, nWidth *= 10)
        nExpected += std::min(nWidth, view.Store().LineCount() - nFrom);
    return bFinished && nMatches == nExpected && nAnswered > 0 ? 0 : 1;
}

// Full repaints of the view: time a frame and a row, for plain rows and for rows with five
// control pictures each.
int Paint(CLogView& view, long long nFrames) {
    view.resize(1200, 700);
    const auto measure = [&](const char* pWhat, const std::string& line) {
        view.AppendLines(std::list<Platform::CTimedLines>(200, {0, line}));
        view.FollowEnd();
        QApplication::processEvents();
        QElapsedTimer elapsed;
        elapsed.start();
        for (long long i = 0; i < nFrames; ++i) view.viewport()->repaint();
        const double fMicroseconds = elapsed.nsecsElapsed() / 1e3 / nFrames;
        std::printf("  %s: %.0f us a frame of %d rows, %.1f us a row\n", pWhat, fMicroseconds,
                    view.PaintedRows(), fMicroseconds / std::max(1, view.PaintedRows()));
    };
    measure("plain rows", "127.0.0.1:40000 -> message 1234567 with ordinary text after it");
    measure("rows with control pictures",
            "127.0.0.1:40000 -> msg 1 LF\xE2\x90\x8A CR\xE2\x90\x8D ESC\xE2\x90\x9B[0m "
            "DEL\xE2\x90\xA1 NUL\xE2\x90\x80 end");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    std::string kind = "find";
    long long nLines = -1;
    long long nFrames = 300;
    double fMaxSeconds = 600;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--case") == 0) kind = argv[i + 1];
        if (std::strcmp(argv[i], "--lines") == 0) nLines = std::atoll(argv[i + 1]);
        if (std::strcmp(argv[i], "--max-seconds") == 0) fMaxSeconds = std::atof(argv[i + 1]);
        if (std::strcmp(argv[i], "--frames") == 0) nFrames = std::max(1LL, std::atoll(argv[i + 1]));
    }
    if (nLines < 0) nLines = kind == "find" ? 100000000 : 10000000;
    CLogView view;
    view.resize(800, 600);
    view.show();
    if (kind == "paint") return Paint(view, nFrames);
    CLateness lateness;
    std::printf("log view %s: %lld lines\n", kind.c_str(), nLines);
    if (!Fill(view, lateness, nLines, fMaxSeconds)) return 1;
    if (kind == "filter") return Filter(view, lateness, fMaxSeconds);
    return kind == "save" ? Save(view, lateness, fMaxSeconds) : Find(view, lateness, fMaxSeconds);
}
