#include "dataexchange.h"

#include <QJsonDocument>
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>
#include <utility>

#ifdef Q_OS_UNIX
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <cerrno>
#endif
#ifdef Q_OS_LINUX
#include <linux/sock_diag.h>
#endif

#include "datagramdecoder.h"
#include "exchangeenvironment.h"
#include "netlogging.h"
#include "protocol.h"

namespace {

constexpr int pingIntervalMs = 5000;
constexpr int offlineAfterSecs = 3;
constexpr qint64 calmAfterSheddingMs = 1000;

// Asked of the kernel for the socket's receive buffer (it caps the figure at its own maximum): a relay's burst of
// a thousand frames overflows the default buffer before the worker is scheduled, and the frames are lost.
constexpr int receiveBufferBytes = 4 << 20;

// Every datagram is read into this one buffer; there is only one exchange.
char receiveBuffer[65536];

// How many datagrams the kernel has dropped at the socket because its buffer was full, or -1 where it does not say.
qint64 droppedDatagrams(qintptr descriptor) {
#ifdef Q_OS_LINUX
    quint32 info[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof(info);
    if (descriptor >= 0 && ::getsockopt(int(descriptor), SOL_SOCKET, SO_MEMINFO, info, &length) == 0 &&
        length > SK_MEMINFO_DROPS * sizeof(quint32))
        return info[SK_MEMINFO_DROPS];
#else
    Q_UNUSED(descriptor)
#endif
    return -1;
}

}  // namespace

// The sender's address is kept as a number and made a QHostAddress (which allocates) only for a status frame.
// Counts the frames and commands it is given in `decoded`.
class DataExchange::DatagramDispatcher final : public DatagramHandler {
public:
    DatagramDispatcher(DataExchange &exchange, quint32 senderIPv4, quint16 senderPort, int &decoded)
        : m_exchange(exchange), m_senderIPv4(senderIPv4), m_senderPort(senderPort), m_decoded(decoded) {}

    void applicationCommand(const QJsonObject &command) override {
        ++m_decoded;
        m_exchange.handOver({HandOver::ApplicationCommand, {}, command});
    }
    void statusFrame(quint16 globalRpmLimit) override {
        ++m_decoded;
        m_exchange.handleStatusFrame(globalRpmLimit, QHostAddress(m_senderIPv4), m_senderPort);
    }
    void transponderFrame(const TransponderState &state) override {
        ++m_decoded;
        m_exchange.handOver({HandOver::Report, state, {}});
    }

private:
    DataExchange &m_exchange;
    quint32 m_senderIPv4;
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
        m_dropsSeen = 0;  // a new socket counts its own
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
    noteDrops(false);
    endSheddingWhenCalm();
}

void DataExchange::checkLink() {
    const qint64 nowSecs = m_environment->currentMSecsSinceEpoch() / 1000;
    if (m_linkOnline && nowSecs - m_lastStatusSecs > offlineAfterSecs) {
        m_linkOnline = false;
        mergeLinkState({{QStringLiteral("isOnline"), false}});
    }
}

// One bounded batch of the receive loop: at most maxDatagramsPerCall datagrams and maxFramesPerCall frames.
// A datagram with more frames than that is decoded in parts; the receive buffer keeps it until its last part,
// since nothing else is read meanwhile. The first datagram of a call is read through the socket, which re-arms
// its read notification, so a socket that still holds datagrams calls this again from the event loop once the
// worker's queue (limit commands, pings) has run; anything else left calls it again through that queue.
// QUdpSocket allocates for every datagram it reads (the addresses of its packet header), so on Unix the rest are
// read from the socket's descriptor straight into the same buffer. While the worker's own queue of hand-overs is
// full, nothing is read: the read notification stays off until the acknowledgements bring it down
// (handOversTaken).
void DataExchange::udpReadyRead() {
    if (readingMustWait()) {
        m_readingPaused = true;
        return;
    }
    const bool resumed = std::exchange(m_resumed, false);
    const qint64 droppedAtStart = m_reportsDropped;
    int decoded = 0;
    int datagrams = 0;
    bool socketEmpty = false;
    while (decoded < maxFramesPerCall && !readingMustWait()) {
        if (m_received.next == m_received.size) {
            if (datagrams == maxDatagramsPerCall)
                break;
            const qint64 size = readDatagram(&m_received.senderIPv4, &m_received.senderPort, datagrams == 0);
            if (size < 0) {
                socketEmpty = true;
                break;
            }
            if (datagrams++ == 0 && resumed)
                noteDrops(true);
            m_received.size = size;  // a datagram of length 0 is left at once
            m_received.next = 0;
        }
        DatagramDispatcher dispatcher(*this, m_received.senderIPv4, m_received.senderPort, decoded);
        m_received.next =
            decodeDatagramPart(receiveBuffer, m_received.size, m_received.next, maxFramesPerCall - decoded, dispatcher);
    }
    if (m_reportsDropped != droppedAtStart)
        m_lastShedMs = m_environment->currentMSecsSinceEpoch();
    if (socketEmpty)
        endSheddingWhenCalm();
    // The read notification stays off while no read went through the socket, so whatever is left (a datagram
    // cut short, datagrams in the socket) is taken up by a call queued behind what waits for the worker.
    if (!socketEmpty && !m_continuationQueued) {
        m_continuationQueued = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_continuationQueued = false;
                udpReadyRead();
            },
            Qt::QueuedConnection);
    }
    acknowledgeHandOvers();
}

// While shedding load, reports that find the worker's queue full are dropped, and only the rest fill it further.
bool DataExchange::readingMustWait() const {
    return m_waiting.size() >= (droppingReports() ? 2 : 1) * maxWaitingReports;
}

// Hands `item` to the receiving thread now, or queues it in the worker behind those already waiting.
void DataExchange::handOver(HandOver &&item) {
    if (m_waiting.isEmpty() && !receiverIsBehind()) {
        deliver(item);
        return;
    }
    if (item.kind == HandOver::Report && droppingReports() && m_waiting.size() >= maxWaitingReports) {
        ++m_reportsDropped;
        return;
    }
    m_waiting.push(std::move(item));
}

void DataExchange::deliver(const HandOver &item) {
    ++m_handOversSent;
    switch (item.kind) {
        case HandOver::Report: emit updateTransponderState(item.report); break;
        case HandOver::ApplicationCommand: emit remoteAppCommand(item.json); break;
        case HandOver::LinkState: {
            RetranslatorState *state = &m_retranslatorState;
            QMetaObject::invokeMethod(
                state, [state, update = item.json] { state->updateState(update); }, Qt::QueuedConnection);
            break;
        }
    }
}

void DataExchange::deliverWaiting() {
    while (!m_waiting.isEmpty() && !receiverIsBehind())
        deliver(m_waiting.take());
}

// The next datagram into the receive buffer with its sender, or -1 when the socket holds none.
qint64 DataExchange::readDatagram(quint32 *senderIPv4, quint16 *senderPort, bool throughSocket) {
#ifdef Q_OS_UNIX
    if (!throughSocket) {
        for (;;) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof(from);
            const qint64 size = ::recvfrom(int(m_udpSocket->socketDescriptor()), receiveBuffer, sizeof(receiveBuffer),
                                           MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &fromLength);
            if (size < 0 && errno == EINTR)
                continue;
            *senderIPv4 = ntohl(from.sin_addr.s_addr);
            *senderPort = ntohs(from.sin_port);
            return size < 0 ? -1 : size;
        }
    }
#else
    Q_UNUSED(throughSocket)
#endif
    // A read on the empty socket fails; Qt reports a temporary error and the socket stays bound.
    QHostAddress sender;
    const qint64 size = m_udpSocket->readDatagram(receiveBuffer, sizeof(receiveBuffer), &sender, senderPort);
    *senderIPv4 = sender.toIPv4Address();
    return size;
}

// Queues, behind the hand-overs made so far, a call that tells the worker the receiving thread has taken them:
// queued calls into one thread run in the order they were queued.
void DataExchange::acknowledgeHandOvers() {
    const qint64 count = m_handOversSent - m_handOversAcknowledged;
    if (count == 0)
        return;
    m_handOversAcknowledged = m_handOversSent;
    QMetaObject::invokeMethod(
        &m_retranslatorState,
        [this, count] {
            QMetaObject::invokeMethod(
                this, [this, count] { handOversTaken(count); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void DataExchange::handOversTaken(qint64 count) {
    m_handOversTaken += count;
    deliverWaiting();
    acknowledgeHandOvers();
    if (m_readingPaused && m_waiting.size() <= resumeReadingAt) {
        m_readingPaused = false;
        m_resumed = true;
        udpReadyRead();
    }
}

// Called as reading resumes after a pause (`datagramsWaited`: it found datagrams) and at every ping tick. Load is
// shed while the kernel drops datagrams at the socket; where the system does not count them, while reading resumes
// to find datagrams waiting. A stretch of shedding starts with a warning. Where the kernel counts its drops, the
// worker then no longer pauses: it keeps the socket empty and drops the reports that find its queue full. The
// kernel drops whatever comes, application commands and status frames too, and a full socket of packed frames
// holds a second of stale reports that every datagram behind them waits through. A relay's burst that fits the
// queue is still kept whole.
void DataExchange::noteDrops(bool datagramsWaited) {
    const qint64 drops = droppedDatagrams(m_udpSocket->socketDescriptor());
    const qint64 dropsBefore = std::exchange(m_dropsSeen, std::max(drops, qint64(0)));
    const bool shedding = drops >= 0 ? drops > dropsBefore : datagramsWaited;
    if (!shedding)
        return;
    m_lastShedMs = m_environment->currentMSecsSinceEpoch();
    if (m_sheddingSinceMs >= 0)
        return;
    m_sheddingSinceMs = m_lastShedMs;
    m_dropsBeforeShedding = drops >= 0 ? dropsBefore : -1;
    m_reportsDroppedBeforeShedding = m_reportsDropped;
    if (droppingReports())
        qCWarning(lcNet) << "Reports arrive faster than the console takes them: reports beyond the" << maxWaitingReports
                         << "that may wait are dropped";
    else
        qCWarning(lcNet) << "Reports arrive faster than the console takes them: reading pauses while"
                         << maxWaitingReports << "wait, and datagrams the socket cannot hold are dropped";
}

// A stretch of shedding ends once nothing has been dropped for a second: a flood that lets up for a moment is
// still one stretch.
void DataExchange::endSheddingWhenCalm() {
    if (m_sheddingSinceMs < 0)
        return;
    noteDrops(false);
    if (m_environment->currentMSecsSinceEpoch() - m_lastShedMs < calmAfterSheddingMs)
        return;
    QString dropped;
    if (m_dropsBeforeShedding >= 0)
        dropped = QStringLiteral(" (%1 datagrams and %2 reports dropped)")
                      .arg(m_dropsSeen - m_dropsBeforeShedding)
                      .arg(m_reportsDropped - m_reportsDroppedBeforeShedding);
    qCWarning(lcNet).nospace().noquote() << "Caught up with the LAN after shedding load for "
                                         << m_lastShedMs - m_sheddingSinceMs << " ms" << dropped;
    m_sheddingSinceMs = -1;
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
    if (globalLimit != m_currentGlobalLimit)
        sendGlobalLimitCommand();
    mergeLinkState(update);
}

void DataExchange::mergeLinkState(const QJsonObject &update) {
    handOver({HandOver::LinkState, {}, update});
}

void DataExchange::sendGlobalLimitCommand() {
    sendToRetranslator(Protocol::globalLimitCommand(m_currentGlobalLimit));
}

void DataExchange::sendToRetranslator(const QByteArray &command) {
    if (m_retranslatorBroadcast.isNull() || m_retranslatorPort == 0)
        return;
    m_environment->sendDatagram(*m_udpSocket, command.constData(), command.size(), m_retranslatorBroadcast);
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
