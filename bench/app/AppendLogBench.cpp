// Appending to the main dialog's log box on the UI thread: lines per second for single lines
// and for delivered batches, with the box painted between batches as the event loop does.
//
//   QT_QPA_PLATFORM=offscreen velmora_appendlog_bench
#include <benchmark/benchmark.h>

#include <QApplication>

#include <list>
#include <string>

#include "CLogView.h"
#include "CVelmoraDlg.h"
#include "Resource.h"

namespace {

std::string Line(int i) {
    return "127.0.0.1:" + std::to_string(40000 + i % 1000) + " -> message " + std::to_string(i);
}

// Arg: lines per batch (1: one AppendLog per line). Every run starts from an empty box and
// appends 100,000 lines, so a cost per line that grows with the box shows in the rate.
void BM_AppendLog(benchmark::State& state) {
    constexpr int kLines = 100000;
    const int nBatch = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        auto spDlg = std::make_unique<CVelmoraDlg>();
        spDlg->show();
        QApplication::processEvents();
        state.ResumeTiming();
        for (int first = 0; first < kLines; first += nBatch) {
            if (nBatch == 1) {
                spDlg->AppendLog(QString::fromStdString(Line(first)));
            } else {
                std::list<Platform::CTimedLines> lines;
                for (int i = first; i < first + nBatch; ++i) lines.push_back({0, Line(i)});
                spDlg->GetDlgItem<Platform::CLogView>(IDC_EDIT_LOG)->AppendLines(std::move(lines));
            }
            if (first % 1000 == 0) QApplication::processEvents();
        }
        QApplication::processEvents();
        state.PauseTiming();
        spDlg.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kLines);
}
BENCHMARK(BM_AppendLog)->Arg(1)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
