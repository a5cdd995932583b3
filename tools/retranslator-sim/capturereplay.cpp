#include "capturereplay.h"

#include <QHash>
#include <climits>

#include "net/datagramdecoder.h"
#include "net/protocol.h"

namespace {

// Counts the status frames that the console's decoder finds in a datagram.
class StatusFrameCounter final : public DatagramHandler {
public:
    void applicationCommand(const QJsonObject &) override {}
    void statusFrame(quint16) override { ++count; }
    void transponderFrame(const TransponderState &) override {}
    int count = 0;
};

bool holdsStatusFrame(const QByteArray &payload) {
    if (payload.isEmpty())
        return false;
    StatusFrameCounter counter;
    decodeDatagram(payload.constData(), payload.size(), counter);
    return counter.count > 0;
}

struct SenderStatistics {
    qint64 datagrams = 0;
    qint64 firstUs = 0;
    qint64 lastUs = 0;
};

}  // namespace

CaptureReplay::CaptureReplay(const ReplayConfig &config, QObject *parent) : QObject(parent), m_config(config) {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &CaptureReplay::sendDue);
}

CaptureReplay::~CaptureReplay() = default;

bool CaptureReplay::prepare() {
    CaptureReader reader;
    if (!reader.open(m_config.path)) {
        m_error = QStringLiteral("cannot read %1: %2").arg(m_config.path, reader.errorString());
        return false;
    }
    QHash<quint32, SenderStatistics> senders;
    QList<QHostAddress> statusSenders;  // in the order of their first status frame
    qint64 toPort = 0;
    CapturedDatagram datagram;
    for (;;) {
        const CaptureReader::Result result = reader.next(&datagram);
        if (result == CaptureReader::Result::End)
            break;
        if (result == CaptureReader::Result::Error) {
            m_error = QStringLiteral("cannot read %1: %2").arg(m_config.path, reader.errorString());
            return false;
        }
        if (datagram.destinationPort != Protocol::exchangePort)
            continue;
        ++toPort;
        SenderStatistics &statistics = senders[datagram.source.toIPv4Address()];
        if (statistics.datagrams++ == 0)
            statistics.firstUs = datagram.timeUs;
        statistics.lastUs = datagram.timeUs;
        if (m_config.source.isNull() && !statusSenders.contains(datagram.source) && holdsStatusFrame(datagram.payload))
            statusSenders << datagram.source;
    }

    if (m_config.source.isNull()) {
        if (statusSenders.isEmpty()) {
            m_error = toPort == 0 ? QStringLiteral("no relay traffic in %1: it holds no UDP datagram to port %2")
                                        .arg(m_config.path)
                                        .arg(Protocol::exchangePort)
                                  : QStringLiteral(
                                        "no relay traffic in %1: none of its %2 datagrams to UDP port %3 "
                                        "holds a status frame (--replay-source names the relay)")
                                        .arg(m_config.path)
                                        .arg(toPort)
                                        .arg(Protocol::exchangePort);
            return false;
        }
        m_source = statusSenders.constFirst();
        for (int i = 1; i < statusSenders.size(); ++i)
            m_otherStatusSenders << statusSenders.at(i);
    } else {
        m_source = m_config.source;
    }
    const SenderStatistics relay = senders.value(m_source.toIPv4Address());
    if (relay.datagrams == 0) {
        m_error = QStringLiteral("no relay traffic in %1: nothing from %2 to UDP port %3")
                      .arg(m_config.path, m_source.toString())
                      .arg(Protocol::exchangePort);
        return false;
    }
    m_relayDatagrams = relay.datagrams;
    m_otherDatagrams = toPort - relay.datagrams;
    m_firstUs = relay.firstUs;
    m_lastUs = relay.lastUs;
    return true;
}

void CaptureReplay::start(Sender send) {
    m_send = std::move(send);
    m_loops = 1;
    m_clock.start();
    m_loopStartMs = 0;
    if (openForPlaying())
        m_timer.start(0);  // from the event loop, so that finishing at once still ends it
}

QString CaptureReplay::describe() const {
    return QStringLiteral("replay source=%1 sent=%2 of %3 loop=%4")
        .arg(m_source.toString())
        .arg(m_sent)
        .arg(m_relayDatagrams * qMax(1, m_loops))
        .arg(m_loops);
}

bool CaptureReplay::isRelayDatagram(const CapturedDatagram &datagram) const {
    return datagram.destinationPort == Protocol::exchangePort && datagram.source == m_source;
}

bool CaptureReplay::openForPlaying() {
    m_reader = std::make_unique<CaptureReader>();
    if (!m_reader->open(m_config.path)) {
        fail(QStringLiteral("cannot read %1 again: %2").arg(m_config.path, m_reader->errorString()));
        return false;
    }
    return readNextRelayDatagram();
}

bool CaptureReplay::readNextRelayDatagram() {
    for (;;) {
        switch (m_reader->next(&m_next)) {
            case CaptureReader::Result::Datagram:
                if (isRelayDatagram(m_next)) {
                    m_hasNext = true;
                    return true;
                }
                break;
            case CaptureReader::Result::End: m_hasNext = false; return true;
            case CaptureReader::Result::Error:
                fail(QStringLiteral("cannot read %1 again: %2").arg(m_config.path, m_reader->errorString()));
                return false;
        }
    }
}

// Sends every datagram that is due, then waits for the next one.
void CaptureReplay::sendDue() {
    for (;;) {
        if (!m_hasNext) {
            if (!m_config.loop) {
                emit finished(true);
                return;
            }
            // The next round starts one average gap after the last datagram.
            ++m_loops;
            const double gapMs =
                m_relayDatagrams > 1 ? double(durationUs()) / 1000.0 / double(m_relayDatagrams - 1) : 1000.0;
            m_loopStartMs = m_clock.elapsed() + qMax<qint64>(1, qint64(gapMs / m_config.speed));
            if (openForPlaying())
                m_timer.start(int(m_loopStartMs - m_clock.elapsed()));
            return;
        }
        const qint64 dueMs = m_loopStartMs + qint64(double(m_next.timeUs - m_firstUs) / 1000.0 / m_config.speed);
        const qint64 waitMs = dueMs - m_clock.elapsed();
        if (waitMs > 0) {
            m_timer.start(int(qMin<qint64>(waitMs, INT_MAX)));
            return;
        }
        m_send(m_next.payload);
        ++m_sent;
        if (!readNextRelayDatagram())
            return;
    }
}

void CaptureReplay::fail(const QString &message) {
    m_error = message;
    m_hasNext = false;
    emit finished(false);
}
