#include "flightrecorder.h"

#include <QElapsedTimer>
#include <algorithm>

namespace {

bool before(const KartSample &sample, qint64 ms) {
    return sample.steadyMs < ms;
}

bool after(qint64 ms, const KartSample &sample) {
    return ms < sample.steadyMs;
}

// Drops what is older than the kept time, and the oldest past maxEvents, but always keeps the last `keepLast`.
template <typename Events>
void dropOldEvents(Events &events, qint64 now, size_t keepLast) {
    while (events.size() > keepLast && (events.size() > size_t(FlightRecorder::maxEvents) ||
                                        events.front().steadyMs < now - FlightRecorder::keptMs))
        events.pop_front();
}

}  // namespace

FlightRecorder::FlightRecorder(SteadyClock clock, qint64 maxSampleBytes)
    : m_clock(std::move(clock)),
      m_maxSamples(size_t(std::max<qint64>(1, maxSampleBytes / qint64(sizeof(KartSample))))) {
    if (!m_clock) {
        QElapsedTimer timer;
        timer.start();
        m_clock = [timer] { return timer.elapsed(); };
    }
}

void FlightRecorder::addReport(const TransponderState &report) {
    const qint64 now = m_clock();
    while (!m_samples.empty() && (m_samples.size() >= m_maxSamples || m_samples.front().steadyMs < now - keptMs))
        m_samples.pop_front();
    // The decoder reads every field from a 16-bit one (RSSI from 8 bits), so nothing is cut here.
    const auto id = quint16(report.transponderId);
    m_samples.push_back({now, id, quint16(report.rpmValue), quint16(report.limitValue), qint8(report.rssiValue)});
    m_lastHeard[id] = now;
}

void FlightRecorder::addLinkState(bool online, const QString &address, int globalLimit) {
    if (!m_link.empty()) {
        const LinkChange &last = m_link.back();
        if (last.online == online && last.address == address && last.globalLimit == globalLimit)
            return;
    }
    const qint64 now = m_clock();
    m_link.push_back({now, online, address, globalLimit});
    dropOldEvents(m_link, now, 1);
}

void FlightRecorder::addChosenLimit(int transponderId, const QString &mode, int rpm, const QString &source) {
    const qint64 now = m_clock();
    m_limits.push_back({now, transponderId, mode, rpm, source});
    dropOldEvents(m_limits, now, 0);
}

FlightWindow FlightRecorder::window(qint64 fromMs, qint64 toMs) const {
    FlightWindow window;
    window.fromMs = fromMs;
    window.toMs = toMs;
    const auto first = std::lower_bound(m_samples.begin(), m_samples.end(), fromMs, before);
    const auto last = std::upper_bound(first, m_samples.end(), toMs, after);
    window.samples.assign(first, last);
    for (auto it = m_link.begin(); it != m_link.end(); ++it) {
        const bool stateAtStart = it->steadyMs <= fromMs && (it + 1 == m_link.end() || (it + 1)->steadyMs > fromMs);
        if (stateAtStart || (it->steadyMs > fromMs && it->steadyMs <= toMs))
            window.link.append(*it);
    }
    for (const LimitChoice &choice : m_limits) {
        if (choice.steadyMs >= fromMs && choice.steadyMs <= toMs)
            window.limits.append(choice);
    }
    return window;
}

QVector<int> FlightRecorder::transpondersHeardSince(qint64 fromMs) const {
    QVector<int> ids;
    for (auto it = m_lastHeard.cbegin(); it != m_lastHeard.cend(); ++it) {
        if (it.value() >= fromMs)
            ids.append(it.key());
    }
    return ids;
}
