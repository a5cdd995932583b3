#include "dataexchange.h"

#include <QJsonDocument>
#include <QTimer>
#include <QUdpSocket>

#ifdef Q_OS_UNIX
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <cerrno>
#endif

#include "datagramdecoder.h"
#include "exchangeenvironment.h"
#include "netlogging.h"

namespace {

constexpr int pingIntervalMs = 5000;
constexpr int offlineAfterSecs = 3;
constexpr int transponderLimitsGate = 10000;

// Asked of the kernel for the socket's receive buffer (it caps the figure at its own maximum): a relay's burst of
// a thousand frames overflows the default buffer before the worker is scheduled, and the frames are lost.
constexpr int receiveBufferBytes = 4 << 20;

// Every datagram is read into this one buffer; there is only one exchange.
char receiveBuffer[65536];

}  // namespace

// The sender's address is kept as a number and made a QHostAddress (which allocates) only for a status frame.
class DataExchange::DatagramDispatcher final : public DatagramHandler {
public:
    DatagramDispatcher(DataExchange &exchange, quint32 senderIPv4, quint16 senderPort)
        : m_exchange(exchange), m_senderIPv4(senderIPv4), m_senderPort(senderPort) {}

    void applicationCommand(const QJsonObject &command) override { emit m_exchange.remoteAppCommand(command); }
    void statusFrame(quint16 globalRpmLimit) override {
        m_exchange.handleStatusFrame(globalRpmLimit, QHostAddress(m_senderIPv4), m_senderPort);
    }
    void transponderFrame(const TransponderState &state) override { emit m_exchange.updateTransponderState(state); }

private:
    DataExchange &m_exchange;
    quint32 m_senderIPv4;
    quint16 m_senderPort;
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
}

void DataExchange::checkLink() {
    const qint64 nowSecs = m_environment->currentMSecsSinceEpoch() / 1000;
    if (m_linkOnline && nowSecs - m_lastStatusSecs > offlineAfterSecs) {
        m_linkOnline = false;
        mergeLinkState({{QStringLiteral("isOnline"), false}});
    }
}

// Reads until the socket has nothing left. The first datagram is read through the socket, which re-arms its read
// notification. QUdpSocket allocates for every datagram it reads (the addresses of its packet header), so on Unix
// the rest are read from the socket's descriptor straight into the same buffer; elsewhere reading goes on through
// the socket. A read on the empty socket fails (Qt reports a temporary error and the socket stays bound), which
// ends the loop; asking hasPendingDatagrams() first would cost a second system call per datagram. A datagram of
// length 0 is skipped.
void DataExchange::udpReadyRead() {
    QHostAddress sender;
    quint16 senderPort = 0;
    qint64 size = m_udpSocket->readDatagram(receiveBuffer, sizeof(receiveBuffer), &sender, &senderPort);
    if (size < 0)
        return;
    if (size > 0)
        processDatagram(receiveBuffer, size, sender.toIPv4Address(), senderPort);
#ifdef Q_OS_UNIX
    const int descriptor = int(m_udpSocket->socketDescriptor());
    for (;;) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof(from);
        size = ::recvfrom(descriptor, receiveBuffer, sizeof(receiveBuffer), MSG_DONTWAIT,
                          reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (size < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (size > 0)
            processDatagram(receiveBuffer, size, ntohl(from.sin_addr.s_addr), ntohs(from.sin_port));
    }
#else
    for (;;) {
        size = m_udpSocket->readDatagram(receiveBuffer, sizeof(receiveBuffer), &sender, &senderPort);
        if (size < 0)
            return;
        if (size > 0)
            processDatagram(receiveBuffer, size, sender.toIPv4Address(), senderPort);
    }
#endif
}

void DataExchange::processDatagram(const char *data, qint64 size, quint32 senderIPv4, quint16 senderPort) {
    DatagramDispatcher dispatcher(*this, senderIPv4, senderPort);
    decodeDatagram(data, size, dispatcher);
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
    RetranslatorState *state = &m_retranslatorState;
    QMetaObject::invokeMethod(
        state, [state, update] { state->updateState(update); }, Qt::QueuedConnection);
}

void DataExchange::sendGlobalLimitCommand() {
    sendToRetranslator(QStringLiteral("GLOBALRPMLIMIT:%1,%2").arg(m_currentGlobalLimit).arg(-1).toUtf8());
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
    if (m_currentGlobalLimit != transponderLimitsGate)
        return;
    sendToRetranslator(QStringLiteral("TRANSPONDERRPMLIMIT:%1,%2").arg(transponderId).arg(limitValue).toUtf8());
}

void DataExchange::resendToApps(QJsonObject json) {
    const QByteArray payload = QJsonDocument(json).toJson(QJsonDocument::Compact);
    const QList<QNetworkAddressEntry> entries = m_environment->qualifyingAddressEntries();
    for (const QNetworkAddressEntry &entry : entries)
        m_environment->sendDatagram(*m_udpSocket, payload.constData(), payload.size(), entry.broadcast());
}
