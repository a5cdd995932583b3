#pragma once

#include <QHash>
#include <QString>
#include <QVector>
#include <deque>
#include <functional>
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

// A copy of what the recorder holds over [fromMs, toMs], in time order. `link` starts with the link's state at
// fromMs when one is known.
struct FlightWindow {
    qint64 fromMs = 0;
    qint64 toMs = 0;
    std::vector<KartSample> samples;
    QVector<LinkChange> link;
    QVector<LimitChoice> limits;
};

// The console's last ten minutes: every kart report, the retranslator's link when it changes, every limit chosen.
// Times come from a steady millisecond clock. The oldest samples go first, by age and, past a byte cap, by count,
// so that any number of karts on the air stays within the cap. Main thread; nothing here allocates per report
// beyond the deque's blocks.
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
    size_t sampleCount() const { return m_samples.size(); }

private:
    SteadyClock m_clock;
    size_t m_maxSamples;
    std::deque<KartSample> m_samples;
    QHash<quint16, qint64> m_lastHeard;
    std::deque<LinkChange> m_link;
    std::deque<LimitChoice> m_limits;
};
