#include "dataexchange.h"

#include <QJsonDocument>
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>
#include <utility>

#include "datagramdecoder.h"
#include "exchangeenvironment.h"
#include "netlogging.h"
#include "protocol.h"

namespace {

constexpr int pingIntervalMs = 5000;
constexpr int offlineAfterSecs = 3;
constexpr qint64 calmAfterMergingMs = 1000;

// A relay's burst of a thousand frames overflows the socket's default receive buffer before the worker is scheduled.
constexpr int receiveBufferBytes = 4 << 20;

// Every datagram is read into this one buffer; there is only one exchange.
char receiveBuffer[65536];

}  // namespace

// Hands what the decoder finds to the exchange, counting the frames and commands in `decoded`.
class DataExchange::DatagramDispatcher final : public DatagramHandler {
public:
    DatagramDispatcher(DataExchange &exchange, const QHostAddress &sender, quint16 senderPort, int &decoded)
        : m_exchange(exchange), m_sender(sender), m_senderPort(senderPort), m_decoded(decoded) {}

    void applicationCommand(const QJsonObject &command) override {
        ++m_decoded;
        m_exchange.handOver({HandOver::ApplicationCommand, {}, command, m_sender.toIPv4Address()});
    }
    void statusFrame(quint16 globalRpmLimit) override {
        ++m_decoded;
        m_exchange.handleStatusFrame(globalRpmLimit, m_sender, m_senderPort);
    }
    void transponderFrame(const TransponderState &state) override {
        ++m_decoded;
        m_exchange.handOver({HandOver::Report, state, {}});
    }

private:
    DataExchange &m_exchange;
    const QHostAddress &m_sender;
    quint16 m_senderPort;
    int &m_decoded;
};

DataExchange::DataExchange(QObject *parent) : DataExchange(std::make_unique<ExchangeEnvironment>(), parent) {}

DataExchange::DataExchange(std::unique_ptr<ExchangeEnvironment> environment, QObject *parent)
    : QObject(parent), m_environment(std::move(environment)) {
    qRegisterMetaType<DataExchange::TransponderState>("TransponderState");
    moveToThread(&m_workerThread);
    connect(&m_workerThread, &QThread::started, this, &DataExchange::start);
    connect(&m_workerThread, &QThread::finished, this, &DataExchange::stop);
    m_workerThread.start();
}

DataExchange::~DataExchange() {
    m_workerThread.quit();
    m_workerThread.wait();
}

void DataExchange::start() {
    m_udpSocket = std::make_unique<QUdpSocket>();
    connect(m_udpSocket.get(), &QUdpSocket::readyRead, this, &DataExchange::udpReadyRead);
    ensureBound();
    m_pingTimer = new QTimer(this);
    connect(m_pingTimer, &QTimer::timeout, this, &DataExchange::pingTimeout);
    m_pingTimer->start(pingIntervalMs);
    pingTimeout();
}

void DataExchange::stop() {
    if (m_udpSocket) {
        m_udpSocket->close();
        m_udpSocket.reset();
    }
    if (m_pingTimer) {
        m_pingTimer->stop();
        delete m_pingTimer;
        m_pingTimer = nullptr;
    }
}

// Binds port 11309, or retries a bind that failed before (another program may have held the port).
// A send on an unbound socket binds it to some other port, so that binding is dropped first.
void DataExchange::ensureBound() {
    if (m_udpSocket->state() == QAbstractSocket::BoundState && m_udpSocket->localPort() == Protocol::exchangePort)
        return;
    m_udpSocket->abort();
    if (m_udpSocket->bind(QHostAddress::AnyIPv4, Protocol::exchangePort)) {
        m_udpSocket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, receiveBufferBytes);
        if (m_bindFailureReported)
            qCInfo(lcNet) << "Bound UDP port" << Protocol::exchangePort << "after all";
        m_bindFailureReported = false;
    } else if (!m_bindFailureReported) {
        qCWarning(lcNet).nospace().noquote() << "Cannot bind UDP port " << Protocol::exchangePort << ": "
                                             << m_udpSocket->errorString() << "; retrying every ping";
        m_bindFailureReported = true;
    }
}

void DataExchange::pingTimeout() {
    ensureBound();
    const QList<QNetworkAddressEntry> entries = m_environment->qualifyingAddressEntries();
    m_pingedEntries.clear();
    for (const QNetworkAddressEntry &entry : entries) {
        qCDebug(lcNet).noquote() << QStringLiteral("Ping to ") + entry.broadcast().toString();
        m_environment->sendDatagram(*m_udpSocket, Protocol::discoveryWord, Protocol::discoveryWordSize,
                                    entry.broadcast());
        m_pingedEntries.append(entry);
    }
    checkLink();
    acknowledgeHandOvers();
    endMergingWhenCalm();
}

void DataExchange::checkLink() {
    const qint64 nowSecs = m_environment->currentMSecsSinceEpoch() / 1000;
    if (m_linkOnline && nowSecs - m_lastStatusSecs > offlineAfterSecs) {
        m_linkOnline = false;
        mergeLinkState({{QStringLiteral("isOnline"), false}});
    }
}

// One bounded batch of the receive loop. Every read (also the one that finds the socket empty) re-arms the socket's
// notification, so datagrams left call this again after the limit commands and pings queued meanwhile.
void DataExchange::udpReadyRead() {
    const qint64 replacedBefore = m_reportsReplaced;
    int decoded = 0;
    for (int datagrams = 0; datagrams < maxDatagramsPerCall && decoded < maxFramesPerCall && !readingMustWait();
         ++datagrams) {
        QHostAddress sender;
        quint16 senderPort = 0;
        const qint64 size = m_udpSocket->readDatagram(receiveBuffer, sizeof(receiveBuffer), &sender, &senderPort);
        if (size < 0)
            break;
        if (size == 0)
            continue;
        DatagramDispatcher dispatcher(*this, sender, senderPort, decoded);
        decodeDatagram(receiveBuffer, size, dispatcher);
    }
    noteMerging(replacedBefore);
    acknowledgeHandOvers();
}

// Hands `item` to the main thread now, or leaves it waiting in the worker while the main thread is behind.
void DataExchange::handOver(HandOver item) {
    if (m_waiting.isEmpty() && !mainThreadIsBehind())
        deliver(item);
    else if (m_waiting.add(std::move(item)))
        ++m_reportsReplaced;
}

void DataExchange::deliver(const HandOver &item) {
    ++m_handedOver;
    switch (item.kind) {
        case HandOver::Report: emit updateTransponderState(item.report); break;
        case HandOver::ApplicationCommand: {
            const QHostAddress sender(item.senderIPv4);
            const bool ownCommand =
                std::any_of(m_pingedEntries.cbegin(), m_pingedEntries.cend(),
                            [&sender](const QNetworkAddressEntry &entry) { return entry.ip() == sender; });
            emit remoteAppCommand(item.json, sender.toString(), ownCommand);
            break;
        }
        case HandOver::LinkState: {
            RetranslatorState *state = &m_retranslatorState;
            QMetaObject::invokeMethod(
                state, [state, update = item.json] { state->updateState(update); }, Qt::QueuedConnection);
            break;
        }
    }
}

// Queues, behind the hand-overs made so far, a call that tells the worker the main thread has taken them: queued
// calls into one thread run in the order they were queued.
void DataExchange::acknowledgeHandOvers() {
    const qint64 count = m_handedOver - m_acknowledgementAsked;
    if (count == 0)
        return;
    m_acknowledgementAsked = m_handedOver;
    QMetaObject::invokeMethod(
        &m_retranslatorState,
        [this, count] {
            QMetaObject::invokeMethod(
                this, [this, count] { handOversTaken(count); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void DataExchange::handOversTaken(qint64 count) {
    const bool readingWaited = readingMustWait();
    m_takenByMainThread += count;
    while (!m_waiting.isEmpty() && !mainThreadIsBehind())
        deliver(m_waiting.takeFirst());
    acknowledgeHandOvers();
    if (m_waiting.isEmpty())
        endMergingWhenCalm();
    if (readingWaited && !readingMustWait())
        udpReadyRead();
}

// A stretch of merging starts with a warning at the first report replaced while it waited.
void DataExchange::noteMerging(qint64 replacedBefore) {
    if (m_reportsReplaced == replacedBefore)
        return;
    m_lastMergeMs = m_environment->currentMSecsSinceEpoch();
    if (m_mergingSinceMs >= 0)
        return;
    m_mergingSinceMs = m_lastMergeMs;
    m_replacedBeforeMerging = replacedBefore;
    qCWarning(lcNet) << "Reports arrive faster than the console takes them: only the latest report of each kart waits";
}

// A stretch of merging ends, with a warning that counts it, once no report has been replaced for a second.
void DataExchange::endMergingWhenCalm() {
    if (m_mergingSinceMs < 0 || m_environment->currentMSecsSinceEpoch() - m_lastMergeMs < calmAfterMergingMs)
        return;
    const qint64 durationMs = m_lastMergeMs - m_mergingSinceMs;
    const qint64 replaced = m_reportsReplaced - m_replacedBeforeMerging;
    qCWarning(lcNet).nospace() << "Caught up with the LAN after merging reports for " << durationMs << " ms ("
                               << replaced << " reports replaced by a newer one of the same kart)";
    m_mergingSinceMs = -1;
    emit mergingEnded(durationMs, replaced);
}

void DataExchange::handleStatusFrame(quint16 globalLimit, const QHostAddress &sender, quint16 senderPort) {
    for (const QNetworkAddressEntry &entry : qAsConst(m_pingedEntries)) {
        const QPair<QHostAddress, int> subnet =
            QHostAddress::parseSubnet(entry.ip().toString() + QLatin1Char('/') + entry.netmask().toString());
        if (sender.isInSubnet(subnet)) {
            m_retranslatorBroadcast = entry.broadcast();
            break;
        }
    }
    m_retranslatorPort = senderPort;
    m_lastStatusSecs = m_environment->currentMSecsSinceEpoch() / 1000;
    m_linkOnline = true;

    const QJsonObject update{{QStringLiteral("isOnline"), true},
                             {QStringLiteral("ipAddress"), sender.toString()},
                             {QStringLiteral("globalRPMLimit"), int(globalLimit)}};
    // The retranslator enforces another global limit than this console's: assert ours again.
    if (globalLimit != m_currentGlobalLimit && sendGlobalLimitCommand())
        emit globalLimitReasserted(m_currentGlobalLimit, globalLimit, sender.toString());
    mergeLinkState(update);
}

void DataExchange::mergeLinkState(const QJsonObject &update) {
    handOver({HandOver::LinkState, {}, update});
}

bool DataExchange::sendGlobalLimitCommand() {
    return sendToRetranslator(Protocol::globalLimitCommand(m_currentGlobalLimit));
}

// Sends a command to the retranslator's network; returns false when that network is not known yet.
bool DataExchange::sendToRetranslator(const QByteArray &command) {
    if (m_retranslatorBroadcast.isNull() || m_retranslatorPort == 0)
        return false;
    m_environment->sendDatagram(*m_udpSocket, command.constData(), command.size(), m_retranslatorBroadcast);
    return true;
}

void DataExchange::updateTranspondersLimits(int globalLimit, bool resendToController) {
    m_currentGlobalLimit = globalLimit;
    if (resendToController)
        sendGlobalLimitCommand();
}

void DataExchange::setTransponderLimit(int transponderId, int limitValue) {
    // Per-transponder limits reach the retranslator only while no global limit is in force.
    if (m_currentGlobalLimit != Protocol::unlimitedRpm)
        return;
    sendToRetranslator(Protocol::transponderLimitCommand(transponderId, limitValue));
}

void DataExchange::resendToApps(QJsonObject json) {
    const QByteArray payload = QJsonDocument(json).toJson(QJsonDocument::Compact);
    const QList<QNetworkAddressEntry> entries = m_environment->qualifyingAddressEntries();
    for (const QNetworkAddressEntry &entry : entries)
        m_environment->sendDatagram(*m_udpSocket, payload.constData(), payload.size(), entry.broadcast());
}
