#include "timingfeed.h"

#include <QSignalBlocker>

#include "rmonitorparser.h"
#include "timingfeedsettings.h"
#include "timinglogging.h"

TimingFeed::TimingFeed(QObject *parent) : QObject(parent) {
    m_socket.setReadBufferSize(readBufferBytes);
    m_retry.setSingleShot(true);
    m_retry.setInterval(retryIntervalMs);
    m_silence.setSingleShot(true);
    m_silence.setTimerType(Qt::PreciseTimer);  // a coarse one may end 5 % early
    m_silence.setInterval(silenceTimeoutMs);
    connect(&m_retry, &QTimer::timeout, this, &TimingFeed::connectToServer);
    connect(&m_silence, &QTimer::timeout, this, [this] {
        fail(m_connected ? QStringLiteral("nothing received for 5 s") : QStringLiteral("no answer within 5 s"));
    });
    connect(&m_socket, &QTcpSocket::connected, this, &TimingFeed::onConnected);
    connect(&m_socket, &QTcpSocket::readyRead, this, &TimingFeed::readLines);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, [this] { fail(m_socket.errorString()); });
    connect(&m_socket, &QTcpSocket::disconnected, this, [this] { fail(QStringLiteral("closed by the server")); });
}

// The socket closes after the rest of this object is gone: nothing may answer its last signals.
TimingFeed::~TimingFeed() {
    m_socket.blockSignals(true);
}

void TimingFeed::setAddress(const QString &address) {
    if (address == m_address)
        return;
    m_retry.stop();
    m_silence.stop();
    {
        const QSignalBlocker blocker(m_socket);
        m_socket.abort();
    }
    const QString previous = std::exchange(m_address, QString());
    if (std::exchange(m_connected, false))
        emit feedLost(previous, address.isEmpty() ? QStringLiteral("switched off") : QStringLiteral("address changed"));
    m_lostReported = false;
    m_flagCurrent = false;
    const std::optional<FeedAddress> parsed = parseFeedAddress(address);
    if (parsed) {
        m_address = address;
        m_host = parsed->host;
        m_port = parsed->port;
        qCInfo(lcTiming).noquote() << "Timing feed: connecting to" << m_host << "port" << m_port;
        connectToServer();
    } else if (address.isEmpty()) {
        qCInfo(lcTiming) << "Timing feed: off";
    } else {
        qCWarning(lcTiming) << "Timing feed: off, the address" << address << "cannot be used";
    }
    emit stateChanged();
}

QJsonObject TimingFeed::settings() const {
    return TimingFeedSettings::load().toJson();
}

bool TimingFeed::saveSettings(const QJsonObject &json) {
    const TimingFeedSettings settings = TimingFeedSettings::fromJson(json);
    if (!isUsableFeedAddress(settings.address))
        return false;
    settings.save();
    setAddress(settings.address);
    return true;
}

bool TimingFeed::isUsableAddress(const QString &address) const {
    return isUsableFeedAddress(address);
}

void TimingFeed::connectToServer() {
    m_silence.start();  // a server that does not answer counts as lost, as one that falls silent
    m_socket.connectToHost(m_host, m_port);
}

void TimingFeed::onConnected() {
    m_connected = true;
    m_lostReported = false;
    m_flagCurrent = false;
    m_badFlagWarned = false;
    m_reader.reset();
    m_silence.start();
    qCInfo(lcTiming).noquote() << "Timing feed: connected to" << m_address;
    emit stateChanged();
    emit feedConnected(m_address);
}

// Every failure comes here, often twice (an error, then the disconnection): the first one closes the socket and
// schedules the next attempt; the first of an outage is reported.
void TimingFeed::fail(const QString &reason) {
    if (m_retry.isActive() || m_address.isEmpty())
        return;
    m_silence.stop();
    m_retry.start();
    {
        const QSignalBlocker blocker(m_socket);
        m_socket.abort();
    }
    if (std::exchange(m_connected, false))
        emit stateChanged();
    if (std::exchange(m_lostReported, true)) {
        qCDebug(lcTiming).noquote() << "Timing feed: still no connection to" << m_address << "-" << reason;
        return;
    }
    qCWarning(lcTiming).noquote() << "Timing feed: lost" << m_address << "-" << reason << "- trying again every"
                                  << retryIntervalMs / 1000 << "s";
    emit feedLost(m_address, reason);
}

// Reads all there is, in pieces, each line as it is complete; a slot that changes the address stops the reading.
void TimingFeed::readLines() {
    m_silence.start();
    const int droppedBefore = m_reader.droppedLines();
    char buffer[16 * 1024];
    qint64 size = 0;
    while (m_connected && (size = m_socket.read(buffer, sizeof buffer)) > 0) {
        const char *data = buffer;
        QByteArray line;
        while (m_connected && m_reader.nextLine(data, size, line))
            handleLine(line);
    }
    if (droppedBefore == 0 && m_reader.droppedLines() > 0)
        qCWarning(lcTiming) << "Timing feed: dropped a line longer than" << LineReader::maxLineBytes
                            << "bytes (further ones on this connection are dropped without a warning)";
}

void TimingFeed::handleLine(const QByteArray &line) {
    const RMonitorRecord record = parseRMonitorLine(line);
    switch (record.kind) {
        case RMonitorRecord::Kind::Heartbeat: setFlag(record.flag); break;
        case RMonitorRecord::Kind::BadFlag:
            if (!std::exchange(m_badFlagWarned, true))
                qCWarning(lcTiming) << "Timing feed: ignored a heartbeat whose flag field is" << record.text
                                    << "(further ones on this connection are ignored without a warning)";
            break;
        case RMonitorRecord::Kind::Init:
            qCInfo(lcTiming) << "Timing feed: a new session is being set up";
            setRunName(QString());
            break;
        case RMonitorRecord::Kind::RunName: setRunName(record.text); break;
        case RMonitorRecord::Kind::Other: break;
    }
}

void TimingFeed::setFlag(RaceFlag flag) {
    if (m_flagCurrent && flag == m_flag)
        return;
    m_flagCurrent = true;
    const bool changed = std::exchange(m_flag, flag) != flag;
    const QString run = m_runName.isEmpty() ? QString() : QStringLiteral(", run ") + m_runName;
    qCInfo(lcTiming).noquote() << QStringLiteral("Timing feed: flag %1%2")
                                      .arg(flag == RaceFlag::None ? QStringLiteral("none") : flagName(), run);
    if (changed)
        emit stateChanged();
    emit raceFlagChanged(m_flag, m_runName);
}

void TimingFeed::setRunName(const QString &name) {
    if (name == m_runName)
        return;
    m_runName = name;
    if (!name.isEmpty())
        qCInfo(lcTiming).noquote() << "Timing feed: run" << name;
    emit stateChanged();
}
