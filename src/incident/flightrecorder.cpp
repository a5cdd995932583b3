#include "flightrecorder.h"

#include <QElapsedTimer>
#include <algorithm>

namespace {

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
    while (m_count > 0 && (m_count >= m_maxSamples || m_blocks.front()->samples[m_first].steadyMs < now - keptMs)) {
        --m_count;
        if (++m_first == SampleBlock::size) {
            m_blocks.pop_front();
            m_first = 0;
        }
    }
    if (m_blocks.empty() || m_last == SampleBlock::size) {
        m_blocks.push_back(std::make_shared<SampleBlock>());
        m_last = 0;
    }
    // The decoder reads every field from a 16-bit one (RSSI from 8 bits), so nothing is cut here.
    const auto id = quint16(report.transponderId);
    m_blocks.back()->samples[m_last++] = {now, id, quint16(report.rpmValue), quint16(report.limitValue),
                                          qint8(report.rssiValue)};
    ++m_count;
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
    if (m_count > 0) {
        const Position begin = find([fromMs](const KartSample &s) { return s.steadyMs < fromMs; });
        const Position end = find([toMs](const KartSample &s) { return s.steadyMs <= toMs; });
        for (size_t block = begin.block; block < m_blocks.size() && block <= end.block; ++block) {
            const int first = block == begin.block ? begin.offset : 0;
            const int last = block == end.block ? end.offset : blockEnd(block);
            if (first < last)
                window.spans.push_back({m_blocks[block], first, last});
        }
    }
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

template <typename Before>
FlightRecorder::Position FlightRecorder::find(Before before) const {
    const auto block = std::partition_point(m_blocks.begin(), m_blocks.end(), [&](const auto &candidate) {
        return before(candidate->samples[candidate == m_blocks.back() ? m_last - 1 : SampleBlock::size - 1]);
    });
    const size_t index = size_t(block - m_blocks.begin());
    if (block == m_blocks.end())
        return {index, 0};
    const KartSample *samples = (*block)->samples;
    return {index, int(std::partition_point(samples + (index == 0 ? m_first : 0), samples + blockEnd(index), before) -
                       samples)};
}

QVector<int> FlightRecorder::transpondersHeardSince(qint64 fromMs) const {
    QVector<int> ids;
    for (auto it = m_lastHeard.cbegin(); it != m_lastHeard.cend(); ++it) {
        if (it.value() >= fromMs)
            ids.append(it.key());
    }
    return ids;
}

size_t FlightWindow::sampleCount() const {
    size_t count = 0;
    for (const SampleSpan &span : spans)
        count += size_t(span.end - span.begin);
    return count;
}

std::vector<KartSample> FlightWindow::samples() const {
    std::vector<KartSample> samples;
    samples.reserve(sampleCount());
    for (const SampleSpan &span : spans)
        samples.insert(samples.end(), span.block->samples + span.begin, span.block->samples + span.end);
    return samples;
}
