#pragma once

#include <QHash>
#include <QString>
#include <QVector>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "net/transponderstate.h"

// One kart report as the flight recorder keeps it, in the transponder frame's own widths: 16 bytes, so that ten
// minutes of 100 karts at 20 Hz fit in about 20 MB.
struct KartSample {
    qint64 steadyMs;
    quint16 transponderId;
    quint16 rpm;
    quint16 limit;  // the limit in force on the transponder
    qint8 rssi;     // dBm
};
static_assert(sizeof(KartSample) == 16, "a sample stays compact");

// The retranslator's link as it was from `steadyMs` on.
struct LinkChange {
    qint64 steadyMs = 0;
    bool online = false;
    QString address;
    int globalLimit = 0;
};

// A limit chosen for every kart (transponderId 0) or for one.
struct LimitChoice {
    qint64 steadyMs = 0;
    int transponderId = 0;
    QString mode;  // "p0", "p25", "p50", "p100"
    int rpm = 0;
    QString source;  // "click", "key F12", another console's address, "timing feed 10.0.0.5:50000", ...
};

// Samples in blocks of 64 KB. The recorder only ever appends to its last block and never reuses one, so the
// samples a window covers never change and a window shares the blocks rather than copying the samples.
struct SampleBlock {
    static constexpr int size = 4096;
    KartSample samples[size];
};

// The samples [begin, end) of one block.
struct SampleSpan {
    std::shared_ptr<const SampleBlock> block;
    int begin;
    int end;
};

// What the recorder holds over [fromMs, toMs], in time order, as a value that any thread may read. `link` starts
// with the link's state at fromMs when one is known.
struct FlightWindow {
    qint64 fromMs = 0;
    qint64 toMs = 0;
    std::vector<SampleSpan> spans;
    QVector<LinkChange> link;
    QVector<LimitChoice> limits;

    size_t sampleCount() const;
    std::vector<KartSample> samples() const;
};

// The console's last ten minutes: every kart report, the retranslator's link when it changes, every limit chosen.
// Times come from a steady millisecond clock. The oldest samples go first, by age and, past a byte cap, by count,
// so that any number of karts on the air stays within the cap. Main thread; a report allocates nothing but a new
// block every 4096 reports, and handing out a window copies no samples.
class FlightRecorder {
public:
    using SteadyClock = std::function<qint64()>;

    static constexpr qint64 keptMs = 10 * 60 * 1000;
    static constexpr qint64 defaultSampleBytes = 30'000'000;
    // Link changes and limit choices kept at most, so that a flood of commands from another console stays bounded.
    static constexpr int maxEvents = 2000;

    // An empty clock is a QElapsedTimer started now.
    explicit FlightRecorder(SteadyClock clock = {}, qint64 maxSampleBytes = defaultSampleBytes);

    qint64 now() const { return m_clock(); }

    void addReport(const TransponderState &report);
    // Kept only when something differs from the last state.
    void addLinkState(bool online, const QString &address, int globalLimit);
    void addChosenLimit(int transponderId, const QString &mode, int rpm, const QString &source);

    FlightWindow window(qint64 fromMs, qint64 toMs) const;
    // The transponders whose last report came at or after fromMs, for looking up their kart numbers.
    QVector<int> transpondersHeardSince(qint64 fromMs) const;
    size_t sampleCount() const { return m_count; }

private:
    struct Position {
        size_t block;
        int offset;
    };
    // The first sample for which before() is false.
    template <typename Before>
    Position find(Before before) const;
    int blockEnd(size_t block) const { return block + 1 == m_blocks.size() ? m_last : SampleBlock::size; }

    SteadyClock m_clock;
    size_t m_maxSamples;
    std::deque<std::shared_ptr<SampleBlock>> m_blocks;
    int m_first = 0;  // the oldest sample's place in the first block
    int m_last = 0;   // the samples in the last block
    size_t m_count = 0;
    QHash<quint16, qint64> m_lastHeard;
    std::deque<LinkChange> m_link;
    std::deque<LimitChoice> m_limits;
};
