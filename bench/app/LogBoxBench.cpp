// Log box benchmark: the real main dialog, run modally with a scripted operator who presses
// "Port Listen" and answers the port dialog with a free loopback port, under the load client
// as a child process. On the UI thread it samples the lines present in the log box, how late
// a 10 ms timer fires, and the process's memory; then it closes the dialog with OK and times
// the close. The same load then goes to the Python peer, which writes its lines to a file.
//
//   velmora_logbox_bench --case rate  --clients 64 --messages 15625 [--size 16]
//   velmora_logbox_bench --case flood --clients 8 [--flood-seconds 60]
// Run with QT_QPA_PLATFORM=offscreen or under xvfb-run -a.
#include <time.h>

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CDlgServer.h"
#include "CLogView.h"
#include "CVelmoraDlg.h"
#include "Resource.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string kase = "rate";  // rate: a fixed number of messages; flood: flat out for a time
    int clients = 1;
    long long messages = 100000;  // per connection, rate case
    int size = 16;
    double maxSeconds = 120;   // hard bound on one measurement
    double floodSeconds = 60;  // length of the flood case
    bool python = true;
};

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string key = argv[i];
        if (key == "--no-python") {
            o.python = false;
            continue;
        }
        if (i + 1 >= argc) return false;
        const char* v = argv[++i];
        if (key == "--case") o.kase = v;
        else if (key == "--clients") o.clients = std::atoi(v);
        else if (key == "--messages") o.messages = std::atoll(v);
        else if (key == "--size") o.size = std::atoi(v);
        else if (key == "--max-seconds") o.maxSeconds = std::atof(v);
        else if (key == "--flood-seconds") o.floodSeconds = std::atof(v);
        else return false;
    }
    return (o.kase == "rate" || o.kase == "flood") && o.clients > 0 && o.size >= 16;
}

double Seconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// VmRSS and VmHWM of this process, in kB.
struct Memory {
    long rssKb = 0;
    long hwmKb = 0;
};

Memory ReadMemory() {
    Memory m;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) m.rssKb = std::atol(line.c_str() + 6);
        if (line.rfind("VmHWM:", 0) == 0) m.hwmKb = std::atol(line.c_str() + 6);
    }
    return m;
}

// A loopback port free at the time of the call.
unsigned short FreePort() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor acceptor(
        io, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), 0));
    return acceptor.local_endpoint().port();
}

bool TryConnect(unsigned short port) {
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket socket(io);
    boost::system::error_code error;
    socket.connect(
        boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), port),
        error);
    return !error;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t index = std::min(values.size() - 1,
                                       static_cast<std::size_t>(p * (values.size() - 1) + 0.5));
    return values[index];
}

QStringList LoadClientArgs(const Options& o, unsigned short port) {
    const bool flood = o.kase == "flood";
    return {QStringLiteral("--port"),        QString::number(port),
            QStringLiteral("--connections"), QString::number(o.clients),
            QStringLiteral("--messages"),    QString::number(flood ? 1000000000LL : o.messages),
            QStringLiteral("--size"),        QString::number(o.size),
            QStringLiteral("--max-seconds"), QString::number(flood ? o.floodSeconds + 5 : o.maxSeconds)};
}

// Ends a child still running after a bound; the benchmark's own children only.
void Reap(QProcess& process, int waitMs) {
    if (process.state() != QProcess::NotRunning && !process.waitForFinished(waitMs)) {
        process.kill();
        process.waitForFinished(2000);
    }
}

// The dialog with a view of its queue (lines posted by the worker and not yet taken) and of
// the batches the UI thread appends; the appending itself is the dialog's own.
class CBenchDlg : public CVelmoraDlg {
public:
    std::size_t Backlog() {
        decltype(m_mutex)::scoped_lock lock(m_mutex);
        return m_list.size();
    }

    void OnMessages(std::list<Platform::CTimedLines>& batch) override {
        const std::size_t nLines = batch.size();
        const Clock::time_point start = Clock::now();
        CVelmoraDlg::OnMessages(batch);
        const double ms = Seconds(start, Clock::now()) * 1000;
        ++m_nBatches;
        m_nMaxBatch = std::max(m_nMaxBatch, nLines);
        m_maxBatchMs = std::max(m_maxBatchMs, ms);
    }

    long long m_nBatches = 0;
    std::size_t m_nMaxBatch = 0;
    double m_maxBatchMs = 0;
};

struct Result {
    long long lines = 0;       // message and accept lines that reached the box
    long long expected = 0;    // rate case: what the client sends, plus one accept line each
    double loadSeconds = 0;    // client start to the last expected line present (rate case)
    double peakLinesPerSecond = 0;
    double clientSeconds = -1;  // client start to its exit
    QString clientOutput;
    std::vector<double> lateMs;
    double uiCpuSeconds = 0;
    double processCpuSeconds = 0;
    Memory before;
    Memory after;
    std::size_t backlogAtEnd = 0;
    long long batches = 0;
    std::size_t maxBatch = 0;
    double maxBatchMs = 0;
    Clock::time_point closePressed;
    double closeSeconds = 0;    // OK pressed to DoModal returned (worker joined)
    double destroySeconds = 0;  // the dialog's destructor, the box.s store with it
    bool closed = false;
    bool timedOut = false;
};

// The scripted operator's part in the main dialog: listen, load, measure, press OK.
void RunLoad(CBenchDlg& dlg, const Options& o, unsigned short port, Result& r) {
    auto* pLog = dlg.GetDlgItem<Platform::CLogView>(IDC_EDIT_LOG);
    const auto linesInBox = [pLog] { return static_cast<long long>(pLog->LineCount()) - 1; };

    dlg.GetDlgItem<QPushButton>(IDC_BUTTON_PORT_LISTEN)->click();
    // The listen runs on the worker; a probe connection tells when it is up (the listening
    // line, then one accept line).
    const Clock::time_point listenStart = Clock::now();
    while (!TryConnect(port)) {
        if (Seconds(listenStart, Clock::now()) > 10) {
            std::fprintf(stderr, "the dialog never listened on %u\n", port);
            return;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    while (linesInBox() < 2 && Seconds(listenStart, Clock::now()) < 10)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    const long long base = linesInBox();

    const bool flood = o.kase == "flood";
    r.expected = flood ? 0 : o.clients * (o.messages + 1);
    QEventLoop loop;
    QProcess client;
    client.setProcessChannelMode(QProcess::MergedChannels);

    Clock::time_point last = Clock::now();
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const Clock::time_point now = Clock::now();
        r.lateMs.push_back(std::max(0.0, Seconds(last, now) * 1000 - 10));
        last = now;
    });

    r.before = ReadMemory();
    const double uiCpu0 = ThreadCpuSeconds();
    const double cpu0 = ProcessCpuSeconds();
    const Clock::time_point start = Clock::now();
    QObject::connect(&client, &QProcess::finished, [&] { r.clientSeconds = Seconds(start, Clock::now()); });

    auto finish = [&] {
        r.uiCpuSeconds = ThreadCpuSeconds() - uiCpu0;
        r.processCpuSeconds = ProcessCpuSeconds() - cpu0;
        r.after = ReadMemory();
        r.backlogAtEnd = dlg.Backlog();
        r.batches = dlg.m_nBatches;
        r.maxBatch = dlg.m_nMaxBatch;
        r.maxBatchMs = dlg.m_maxBatchMs;
        loop.quit();
    };

    QTimer sample;
    sample.setTimerType(Qt::PreciseTimer);
    sample.setInterval(50);
    QObject::connect(&sample, &QTimer::timeout, [&] {
        const double t = Seconds(start, Clock::now());
        const long long lines = linesInBox() - base;
        if (!flood && lines >= r.expected) {
            r.loadSeconds = t;
            finish();
        } else if (t > (flood ? o.floodSeconds : o.maxSeconds)) {
            r.timedOut = !flood;
            r.loadSeconds = t;
            finish();
        }
    });

    // Memory over time from a thread of its own, so a UI thread that is late does not thin
    // out the samples; the line count comes from the box's own signal, once per batch.
    std::atomic<long long> shown{0};
    // The moment the last expected line went in, from the box's signal (the sampling timer
    // below may be held up by the very batch that completes the box).
    double completeSeconds = -1;
    QObject::connect(pLog, &Platform::CLogView::linesAppended, [&](quint64 nBlocks) {
        shown.store(static_cast<long long>(nBlocks) - 1 - base);
        if (completeSeconds < 0 && !flood && static_cast<long long>(nBlocks) - 1 - base >= r.expected)
            completeSeconds = Seconds(start, Clock::now());
    });
    std::vector<std::pair<double, long long>> perSecond;  // written by the thread until joined
    std::atomic<bool> stop{false};
    std::thread memory([&] {
        for (int second = 1; !stop.load(); ++second) {
            while (!stop.load() && Clock::now() < start + std::chrono::seconds(second))
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (stop.load()) break;
            const Memory m = ReadMemory();
            perSecond.emplace_back(Seconds(start, Clock::now()), shown.load());
            std::printf("  t=%3d s  lines in box %10lld  VmRSS %8ld kB  VmHWM %8ld kB\n", second,
                        shown.load(), m.rssKb, m.hwmKb);
            std::fflush(stdout);
        }
    });

    tick.start();
    sample.start();
    client.start(QStringLiteral(VELMORA_LOAD_CLIENT), LoadClientArgs(o, port));
    loop.exec();
    tick.stop();
    sample.stop();
    stop.store(true);
    memory.join();

    r.lines = linesInBox() - base;
    if (completeSeconds >= 0) r.loadSeconds = completeSeconds;
    for (std::size_t i = 1; i < perSecond.size(); ++i) {
        const double span = perSecond[i].first - perSecond[i - 1].first;
        r.peakLinesPerSecond = std::max(
            r.peakLinesPerSecond, (perSecond[i].second - perSecond[i - 1].second) / span);
    }

    // OK through the event loop, as an operator's click arrives; the flood's clients are
    // still sending.
    r.closePressed = Clock::now();
    QTimer::singleShot(0, &dlg, [&dlg] { dlg.GetDlgItem<QPushButton>(Platform::IDOK)->click(); });
    QCoreApplication::processEvents();
    r.closed = !dlg.isVisible();
    Reap(client, flood ? 15000 : 5000);
    r.clientOutput = QString::fromLocal8Bit(client.readAll()).trimmed();
}

void PrintResult(const Options& o, const Result& r) {
    std::printf("velmora %s: %d client(s), %d-byte messages\n", o.kase.c_str(), o.clients, o.size);
    std::printf("  client: %s\n", qPrintable(r.clientOutput));
    if (o.kase == "rate") {
        std::printf("  lines present %lld of %lld in %.3f s%s: %.0f lines/s (best 1 s window %.0f)\n",
                    r.lines, r.expected, r.loadSeconds, r.timedOut ? " (TIME BOUND HIT)" : "",
                    r.lines / r.loadSeconds, r.peakLinesPerSecond);
        if (r.clientSeconds >= 0)
            std::printf("  client finished after %.3f s; box complete %.3f s later\n",
                        r.clientSeconds, r.loadSeconds - r.clientSeconds);
    } else {
        std::printf("  lines present after %.1f s: %lld (%.0f lines/s, peak 1 s window %.0f); "
                    "backlog %zu lines not shown\n",
                    r.loadSeconds, r.lines, r.lines / r.loadSeconds, r.peakLinesPerSecond,
                    r.backlogAtEnd);
    }
    std::printf("  UI timer 10 ms lateness over %zu ticks: median %.2f ms, p99 %.2f ms, max %.2f ms\n",
                r.lateMs.size(), Percentile(r.lateMs, 0.5), Percentile(r.lateMs, 0.99),
                Percentile(r.lateMs, 1.0));
    std::printf("  batches appended: %lld, largest %zu lines, longest %.1f ms\n", r.batches,
                r.maxBatch, r.maxBatchMs);
    std::printf("  CPU: UI thread %.2f s (%.0f%% of wall), whole process %.2f s\n",
                r.uiCpuSeconds, 100 * r.uiCpuSeconds / r.loadSeconds, r.processCpuSeconds);
    const long growthKb = r.after.rssKb - r.before.rssKb;
    std::printf("  memory: VmRSS %ld -> %ld kB (+%ld kB), VmHWM %ld kB; %.0f bytes per line in "
                "the box\n",
                r.before.rssKb, r.after.rssKb, growthKb, r.after.hwmKb,
                r.lines ? growthKb * 1024.0 / r.lines : 0.0);
    std::printf("  close: OK pressed, DoModal returned in %.3f s (%s); destructor %.3f s\n",
                r.closeSeconds, r.closed ? "closed" : "STILL OPEN", r.destroySeconds);
}

// The Python peer under the same load, writing its lines to a file.
void RunPythonPeer(const Options& o) {
    const bool flood = o.kase == "flood";
    const unsigned short port = FreePort();
    // QDir::tempPath() follows $TMPDIR.
    const QString out =
        QDir::temp().filePath(QStringLiteral("velmora_logbox_bench_python_%1.log").arg(port));
    QProcess peer;
    peer.setProcessChannelMode(QProcess::MergedChannels);
    const double bound = flood ? o.floodSeconds : o.maxSeconds;
    peer.start(QStringLiteral("python3"),
               {QStringLiteral(VELMORA_PYTHON_PEER), QStringLiteral("--port"), QString::number(port),
                QStringLiteral("--messages"),
                QString::number(flood ? 1000000000000LL : o.clients * o.messages),
                QStringLiteral("--out"), out, QStringLiteral("--max-seconds"),
                QString::number(bound)});
    if (!peer.waitForReadyRead(10000)) {
        std::printf("python peer did not start\n");
        Reap(peer, 0);
        return;
    }
    peer.readLine();
    QProcess client;
    client.setProcessChannelMode(QProcess::MergedChannels);
    const Clock::time_point start = Clock::now();
    client.start(QStringLiteral(VELMORA_LOAD_CLIENT), LoadClientArgs(o, port));
    peer.waitForFinished(static_cast<int>((bound + 15) * 1000));
    const double seconds = Seconds(start, Clock::now());
    Reap(peer, 0);
    Reap(client, 15000);
    std::printf("python peer, same load: %s (client start to peer exit %.3f s)\n",
                qPrintable(QString::fromLocal8Bit(peer.readAll()).trimmed()), seconds);
    std::printf("  client: %s\n", qPrintable(QString::fromLocal8Bit(client.readAll()).trimmed()));
    std::remove(out.toLocal8Bit().constData());
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: %s [--case rate|flood] [--clients N] [--messages M per client]\n"
                     "          [--size S>=16] [--max-seconds T] [--flood-seconds T] [--no-python]\n",
                     argv[0]);
        return 2;
    }
    QApplication application(argc, argv);
    std::printf("QPA platform: %s\n", qPrintable(QGuiApplication::platformName()));

    const unsigned short port = FreePort();
    Result r;
    auto pDlg = std::make_unique<CBenchDlg>();
    Platform::CDialog::SetModalScript([&](Platform::CDialog& d) {
        if (auto* pServer = dynamic_cast<CDlgServer*>(&d)) {
            pServer->GetDlgItem<QLineEdit>(IDC_EDIT_PORT)->setText(QString::number(port));
            pServer->GetDlgItem<QPushButton>(Platform::IDOK)->click();
        } else if (&d == pDlg.get()) {
            RunLoad(*pDlg, o, port, r);
        }
    });
    const int nResult = pDlg->DoModal();
    r.closeSeconds = Seconds(r.closePressed, Clock::now());
    r.closed = r.closed && nResult == Platform::IDOK;
    Platform::CDialog::SetModalScript(nullptr);
    const Clock::time_point destroy = Clock::now();
    pDlg.reset();
    r.destroySeconds = Seconds(destroy, Clock::now());
    PrintResult(o, r);
    std::fflush(stdout);
    if (o.python) RunPythonPeer(o);
    return r.closed && !r.timedOut ? 0 : 1;
}
