// What the incident recorder costs the main thread: keeping each kart report beside the live list's own cost per
// report, the memory ten minutes of 100 karts at 20 Hz take, and copying a report's window of that size.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include "incident/flightrecorder.h"
#include "incident/incidentreport.h"
#include "models/transponderslistmodel.h"

namespace {

constexpr int karts = 100;

// The live list's cost per report with 100 karts on the air: the reference for the recorder's.
void BM_LiveListReport(benchmark::State &state) {
    TranspondersListModel model;
    for (int id = 1; id <= karts; ++id)
        model.updateTransponderState({id, 8000, 10000, -60});
    int next = 0;
    for (auto _ : state) {
        model.updateTransponderState({1 + next, 8000 + (next & 0xFF), 10000, -60});
        next = (next + 1) % karts;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LiveListReport);

// The same with the recorder kept beside it as the console keeps it (the live list's signal, connected directly),
// full, so that each report also lets the oldest go: the difference is what the recorder costs per report.
void BM_LiveListReportRecorded(benchmark::State &state) {
    TranspondersListModel model;
    FlightRecorder recorder;
    QObject::connect(&model, &TranspondersListModel::transponderReported,
                     [&recorder](const TransponderState &report) { recorder.addReport(report); });
    const size_t full = FlightRecorder::defaultSampleBytes / sizeof(KartSample);
    for (size_t i = 0; recorder.sampleCount() < full; ++i)
        model.updateTransponderState({int(1 + i % karts), 8000, 10000, -60});
    int next = 0;
    for (auto _ : state) {
        model.updateTransponderState({1 + next, 8000 + (next & 0xFF), 10000, -60});
        next = (next + 1) % karts;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LiveListReportRecorded);

// A recorder after 11 minutes of 100 karts at 20 Hz, on a clock of the benchmark's: ten minutes of them kept.
std::unique_ptr<FlightRecorder> tenMinutesAt20Hz(qint64 *now) {
    auto recorder = std::make_unique<FlightRecorder>([now] { return *now; });
    for (*now = 0; *now < 11 * 60 * 1000; *now += 50) {
        for (int id = 1; id <= karts; ++id)
            recorder->addReport({id, 8000, 10000, -60});
    }
    return recorder;
}

// The heap the recorder holds then (glibc's count of the bytes in use, the allocator's own overhead included).
void BM_RecorderMemory(benchmark::State &state) {
    for (auto _ : state) {
        const size_t before = mallinfo2().uordblks;
        qint64 now = 0;
        const auto recorder = tenMinutesAt20Hz(&now);
        state.counters["bytes_held"] = double(mallinfo2().uordblks - before);
        state.counters["samples"] = double(recorder->sampleCount());
    }
}
BENCHMARK(BM_RecorderMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

// A report's longest window copied on the main thread, with the transponders to look up kart numbers for.
void BM_CopyWindow(benchmark::State &state) {
    qint64 now = 0;
    const auto recorder = tenMinutesAt20Hz(&now);
    size_t samples = 0;
    for (auto _ : state) {
        const FlightWindow window = recorder->window(now - FlightRecorder::keptMs, now);
        benchmark::DoNotOptimize(recorder->transpondersHeardSince(now - FlightRecorder::keptMs));
        samples = window.sampleCount();
    }
    state.counters["samples"] = double(samples);
}
BENCHMARK(BM_CopyWindow)->UseRealTime()->Unit(benchmark::kMicrosecond);

// A report written to disk, HTML and CSV, as the writer's thread does: the longest (100 karts at 20 Hz for 10
// minutes), what the console's exit may have to wait for; and one of 50 karts at 10 Hz over 4 minutes, for its size.
void BM_WriteReport(benchmark::State &state) {
    const int kartCount = int(state.range(0)), hz = int(state.range(1));
    const qint64 minutes = state.range(2);
    qint64 now = 0;
    FlightRecorder recorder([&now] { return now; });
    for (; now < minutes * 60 * 1000; now += 1000 / hz) {
        for (int id = 1; id <= kartCount; ++id)
            recorder.addReport({id, 6000 + int(now % 3000), 10000, -60});
    }
    recorder.addChosenLimit(0, QStringLiteral("p0"), 0, QStringLiteral("key F12"));
    QHash<int, QString> numbers;
    for (int id = 1; id <= kartCount; ++id)
        numbers.insert(id, QString::number(id));
    const IncidentReportData data{recorder.window(0, now), {{now - 60'000, QStringLiteral("F8")}}, numbers,
                                  {now, QDateTime::currentDateTime()}};
    QTemporaryDir folder;
    for (auto _ : state) {
        QFile html(folder.filePath(QStringLiteral("report.html")));
        QFile csv(folder.filePath(QStringLiteral("report.csv")));
        if (!html.open(QIODevice::WriteOnly) || !csv.open(QIODevice::WriteOnly))
            state.SkipWithError("cannot write the report");
        IncidentReport::writeHtml(html, data);
        IncidentReport::writeCsv(csv, data);
        state.counters["html_bytes"] = double(html.size());
        state.counters["csv_bytes"] = double(csv.size());
    }
}
BENCHMARK(BM_WriteReport)->Args({100, 20, 10})->Args({50, 10, 4})->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
    // The live list's timers need an event dispatcher; the event loop itself never runs here.
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
