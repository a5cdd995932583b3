// The datagram decoder beside the memory operations that bound it: a single transponder datagram against a
// memcpy of its 23 bytes, a 64 KiB datagram of back-to-back frames, and 64 KiB of noise against memchr.

#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QLoggingCategory>
#include <cstring>
#include <random>

#include "countingnew.h"
#include "net/datagramdecoder.h"
#include "net/protocol.h"

namespace {

constexpr int datagramCapacity = 65536;
// A byte value the noise never contains, so memchr for it has to read the whole buffer.
constexpr uchar absentByte = 0xFF;

// Consumes what the decoder reports so that nothing can be optimised away.
class SummingHandler final : public DatagramHandler {
public:
    void applicationCommand(const QJsonObject &) override { ++sum; }
    void statusFrame(quint16 globalRpmLimit) override { sum += globalRpmLimit; }
    void transponderFrame(const TransponderState &state) override {
        sum += state.transponderId + state.rpmValue + state.limitValue + state.rssiValue;
        ++frames;
    }
    long sum = 0;
    long frames = 0;
};

QByteArray packedFrames() {
    QByteArray datagram;
    for (int i = 0; datagram.size() + Protocol::transponderFrameSize <= datagramCapacity; ++i)
        datagram += Protocol::transponderFrame(quint16(1000 + i % 1000), quint16(8000 + i), 10000, qint8(-60));
    return datagram;
}

// Uniformly random bytes from a fixed seed, without `absentByte`, not starting with "{" or white space.
QByteArray noise() {
    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> byte(0, 254);
    QByteArray datagram(datagramCapacity, Qt::Uninitialized);
    for (char &c : datagram)
        c = char(byte(random));
    datagram[0] = char(0x80);
    return datagram;
}

void reportAllocations(benchmark::State &state, long before) {
    state.counters["allocs_per_datagram"] =
        benchmark::Counter(double(CountingNew::processAllocations.load() - before) / double(state.iterations()));
}

void BM_DecodeTransponderDatagram(benchmark::State &state) {
    const QByteArray datagram = Protocol::transponderFrame(1234, 8000, 10000, -60);
    SummingHandler handler;
    const long before = CountingNew::processAllocations.load();
    for (auto _ : state) {
        decodeDatagram(datagram.constData(), datagram.size(), handler);
        benchmark::ClobberMemory();
    }
    reportAllocations(state, before);
    benchmark::DoNotOptimize(handler.sum);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeTransponderDatagram);

void BM_CopyTransponderDatagram(benchmark::State &state) {
    const QByteArray datagram = Protocol::transponderFrame(1234, 8000, 10000, -60);
    char copy[Protocol::transponderFrameSize];
    for (auto _ : state) {
        benchmark::DoNotOptimize(datagram.constData());
        std::memcpy(copy, datagram.constData(), sizeof(copy));
        benchmark::DoNotOptimize(copy);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CopyTransponderDatagram);

void BM_DecodePackedFrames64K(benchmark::State &state) {
    const QByteArray datagram = packedFrames();
    SummingHandler handler;
    const long before = CountingNew::processAllocations.load();
    for (auto _ : state) {
        decodeDatagram(datagram.constData(), datagram.size(), handler);
        benchmark::ClobberMemory();
    }
    reportAllocations(state, before);
    if (handler.frames != long(state.iterations()) * (datagram.size() / Protocol::transponderFrameSize))
        state.SkipWithError("frames lost");
    state.SetItemsProcessed(handler.frames);
    state.SetBytesProcessed(int64_t(state.iterations()) * datagram.size());
}
BENCHMARK(BM_DecodePackedFrames64K);

void BM_DecodeNoise64K(benchmark::State &state) {
    const QByteArray datagram = noise();
    SummingHandler handler;
    const long before = CountingNew::processAllocations.load();
    for (auto _ : state) {
        decodeDatagram(datagram.constData(), datagram.size(), handler);
        benchmark::ClobberMemory();
    }
    reportAllocations(state, before);
    benchmark::DoNotOptimize(handler.sum);
    state.SetBytesProcessed(int64_t(state.iterations()) * datagram.size());
}
BENCHMARK(BM_DecodeNoise64K);

void BM_MemchrNoise64K(benchmark::State &state) {
    const QByteArray datagram = noise();
    for (auto _ : state) {
        benchmark::DoNotOptimize(datagram.constData());
        const void *found = std::memchr(datagram.constData(), absentByte, size_t(datagram.size()));
        benchmark::DoNotOptimize(found);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * datagram.size());
}
BENCHMARK(BM_MemchrNoise64K);

// The worst case for the scan: every byte is a start byte that is not followed by the second marker byte.
void BM_DecodeStartBytes64K(benchmark::State &state) {
    const QByteArray datagram(datagramCapacity, char(0xAA));
    SummingHandler handler;
    for (auto _ : state) {
        decodeDatagram(datagram.constData(), datagram.size(), handler);
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(handler.sum);
    state.SetBytesProcessed(int64_t(state.iterations()) * datagram.size());
}
BENCHMARK(BM_DecodeStartBytes64K);

}  // namespace

int main(int argc, char **argv) {
    // The console's log is on unless switched off; these figures are for the decoder with its debug lines off.
    QLoggingCategory::setFilterRules(QStringLiteral("zadar.net.debug=false"));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
