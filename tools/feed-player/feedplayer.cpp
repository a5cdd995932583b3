#include "feedplayer.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QTcpSocket>
#include <QTime>
#include <algorithm>
#include <cmath>

#include "timing/rmonitorparser.h"

Q_LOGGING_CATEGORY(lcPlayer, "feed-player")

namespace {

constexpr qint64 dayMs = 24 * 3600 * 1000;
constexpr qint64 maxFileBytes = 64 * 1024 * 1024;
constexpr qint64 maxQueuedBytes = 1024 * 1024;  // a client that reads no more is dropped

std::optional<qint64> msOfDay(const QString &text) {
    for (const char *format : {"hh:mm:ss.zzz", "hh:mm:ss", "h:mm:ss"}) {
        const QTime time = QTime::fromString(text, QLatin1String(format));
        if (time.isValid())
            return time.msecsSinceStartOfDay();
    }
    return std::nullopt;
}

QString flagText(RaceFlag flag) {
    return flag == RaceFlag::None ? QStringLiteral("none") : raceFlagName(flag);
}

}  // namespace

FeedPlayer::FeedPlayer(const Config &config, QObject *parent) : QObject(parent), m_config(config) {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &FeedPlayer::playDue);
    connect(&m_server, &QTcpServer::newConnection, this, &FeedPlayer::addClients);
}

bool FeedPlayer::start() {
    if (!load())
        return false;
    if (!m_server.listen(m_config.listenAddress, m_config.port)) {
        qCCritical(lcPlayer).noquote() << "cannot listen on" << m_config.listenAddress.toString() << "port"
                                       << m_config.port << "-" << m_server.errorString();
        return false;
    }
    qCInfo(lcPlayer).noquote() << QStringLiteral("start file=%1 lines=%2 duration=%3s speed=%4 loop=%5 listen=%6:%7")
                                      .arg(m_config.path)
                                      .arg(m_lines.size())
                                      .arg(m_lines.last().atMs / 1000.0)
                                      .arg(m_config.speed)
                                      .arg(m_config.loop ? QStringLiteral("on") : QStringLiteral("off"))
                                      .arg(m_server.serverAddress().toString())
                                      .arg(m_server.serverPort());
    return true;
}

// Lines end with LF, a CR before it is left out; the times of day go over midnight, and one that goes back
// sends its line at once.
bool FeedPlayer::load() {
    QFile file(m_config.path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > maxFileBytes) {
        qCCritical(lcPlayer).noquote() << "cannot play" << m_config.path << "-"
                                       << (file.isOpen() ? QStringLiteral("larger than 64 MiB") : file.errorString());
        return false;
    }
    QList<QByteArray> lines = file.readAll().split('\n');
    if (lines.last().isEmpty())
        lines.removeLast();
    qint64 atMs = 0;
    std::optional<qint64> previous;
    for (QByteArray &bytes : lines) {
        if (bytes.endsWith('\r'))
            bytes.chop(1);
        const RMonitorRecord record = parseRMonitorLine(bytes);
        const std::optional<qint64> time = msOfDay(record.timeOfDay);
        if (time && previous) {
            const qint64 step = *time - *previous;
            atMs += std::max<qint64>(0, step < -dayMs / 2 ? step + dayMs : step);
        }
        if (time)
            previous = time;
        m_lines.append({bytes + "\r\n", atMs, record.kind == RMonitorRecord::Kind::Heartbeat, record.flag});
    }
    if (m_lines.isEmpty()) {
        qCCritical(lcPlayer).noquote() << "cannot play" << m_config.path << "- it holds no lines";
        return false;
    }
    return true;
}

void FeedPlayer::addClients() {
    while (QTcpSocket *client = m_server.nextPendingConnection()) {
        const QString name = QStringLiteral("%1:%2").arg(client->peerAddress().toString()).arg(client->peerPort());
        qCInfo(lcPlayer).noquote() << "client" << name << "connected";
        m_clients.append(client);
        connect(client, &QTcpSocket::readyRead, client, [client] { client->readAll(); });
        connect(client, &QTcpSocket::disconnected, this, [this, client, name] {
            qCInfo(lcPlayer).noquote() << "client" << name << "left";
            m_clients.removeOne(client);
            client->deleteLater();
            if (m_finished && m_clients.isEmpty())
                QCoreApplication::quit();
        });
    }
    if (!m_clock.isValid()) {
        m_clock.start();
        playDue();
    }
}

// Sends every line that is due, then waits for the next; the clock runs from the start of the round, so that
// delays do not add up.
void FeedPlayer::playDue() {
    const double nowMs = m_clock.elapsed() * m_config.speed - m_pauseMs;
    while (m_next < m_lines.size() && m_lines[m_next].atMs <= nowMs)
        send(m_lines[m_next++]);
    if (m_next == m_lines.size()) {
        if (!m_config.loop)
            return finish();
        qCInfo(lcPlayer) << "round" << ++m_round;
        m_next = 0;
        m_pauseMs = 1000;
        m_clock.restart();
    }
    const double waitMs = (m_lines[m_next].atMs + m_pauseMs) / m_config.speed - m_clock.elapsed();
    m_timer.start(int(std::clamp(std::ceil(waitMs), 0.0, double(dayMs))));
}

void FeedPlayer::send(const Line &line) {
    ++m_sent;
    if (line.heartbeat && line.flag != m_lastFlag) {
        m_lastFlag = line.flag;
        qCInfo(lcPlayer).noquote() << "flag" << flagText(line.flag) << "line" << m_next;
    }
    const QList<QTcpSocket *> clients = m_clients;  // a client dropped here leaves the list
    for (QTcpSocket *client : clients) {
        if (client->bytesToWrite() > maxQueuedBytes) {
            qCWarning(lcPlayer).noquote() << "client" << client->peerAddress().toString() << "reads no more: dropped";
            client->abort();
        } else {
            client->write(line.bytes);
        }
    }
}

// Closes every connection once what was sent has gone out; the program ends when the last one is closed.
void FeedPlayer::finish() {
    qCInfo(lcPlayer).noquote() << QStringLiteral("end sent=%1").arg(m_sent);
    m_finished = true;
    m_server.close();
    if (m_clients.isEmpty())
        return QCoreApplication::quit();
    for (QTcpSocket *client : QList<QTcpSocket *>(m_clients))
        client->disconnectFromHost();
}
