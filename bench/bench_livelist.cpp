// The live list's cost per report and per ageing sweep, with few and with many rows. A report for a known
// transponder should cost the same whatever the number of rows (the rows are found through an id index).

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <algorithm>
#include <memory>
#include <numeric>
#include <random>
#include <vector>

#include "models/transponderslistmodel.h"

namespace {

constexpr size_t sequenceLength = 1 << 20;

// A model holding `rows` rows with distinct transponder ids spread over the whole id range.
std::unique_ptr<TranspondersListModel> filledModel(int rows, std::vector<qint32> *ids) {
    std::mt19937 random(rows);
    std::vector<qint32> all(65536);
    std::iota(all.begin(), all.end(), 0);
    std::shuffle(all.begin(), all.end(), random);
    ids->assign(all.begin(), all.begin() + rows);
    auto model = std::make_unique<TranspondersListModel>();
    for (qint32 id : *ids)
        model->updateTransponderState({id, 8000, 10000, -60});
    return model;
}

// Reports for the model's transponders in random order (each report picks any row), which is what a busy
// track looks like; also the order least kind to the caches.
void BM_ReportRandomOrder(benchmark::State &state) {
    std::vector<qint32> ids;
    const auto model = filledModel(int(state.range(0)), &ids);
    std::mt19937 random(7);
    std::uniform_int_distribution<size_t> pick(0, ids.size() - 1);
    std::vector<qint32> sequence(sequenceLength);
    for (qint32 &id : sequence)
        id = ids[pick(random)];
    size_t next = 0;
    for (auto _ : state) {
        model->updateTransponderState({sequence[next], 8000 + int(next & 0xFF), 10000, -60});
        next = (next + 1) & (sequenceLength - 1);
    }
    state.SetItemsProcessed(state.iterations());
    if (model->rowCount() != state.range(0))
        state.SkipWithError("rows were added");
}
BENCHMARK(BM_ReportRandomOrder)->ArgName("rows")->Arg(10)->Arg(10000);

// Reports in a fixed round, every transponder once per round, as a relay that polls its karts would send them.
void BM_ReportRoundRobin(benchmark::State &state) {
    std::vector<qint32> ids;
    const auto model = filledModel(int(state.range(0)), &ids);
    size_t next = 0;
    for (auto _ : state) {
        model->updateTransponderState({ids[next], 8000 + int(next & 0xFF), 10000, -60});
        if (++next == ids.size())
            next = 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReportRoundRobin)->ArgName("rows")->Arg(10)->Arg(10000);

// One ageing sweep over rows that are all fresh: the sweep's walk without any change to announce.
void BM_SweepFreshRows(benchmark::State &state) {
    std::vector<qint32> ids;
    const auto model = filledModel(int(state.range(0)), &ids);
    for (auto _ : state)
        QMetaObject::invokeMethod(model.get(), "refreshList", Qt::DirectConnection);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SweepFreshRows)->ArgName("rows")->Arg(10)->Arg(10000);

// One ageing sweep over rows that are all stale but not yet due for removal: every row is announced offline.
void BM_SweepStaleRows(benchmark::State &state) {
    qint64 now = 1'700'000'000'000;
    auto model = std::make_unique<TranspondersListModel>([&now] { return now; });
    for (int i = 0; i < state.range(0); ++i)
        model->updateTransponderState({i, 8000, 10000, -60});
    now += 60'000;
    for (auto _ : state)
        QMetaObject::invokeMethod(model.get(), "refreshList", Qt::DirectConnection);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SweepStaleRows)->ArgName("rows")->Arg(10)->Arg(10000);

}  // namespace

int main(int argc, char **argv) {
    // The model's refresh timer needs an event dispatcher; the event loop itself never runs here.
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
