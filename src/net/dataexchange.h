#pragma once

#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QNetworkAddressEntry>
#include <QObject>
#include <QThread>
#include <memory>

#include "handoverqueue.h"
#include "protocol.h"
#include "retranslatorstate.h"
#include "transponderstate.h"

class ExchangeEnvironment;
class QTimer;
class QUdpSocket;

// The console's only network object. It lives in its own worker thread, where it owns the UDP socket on
// port 11309 and the ping timer: it pings every local network, decodes what arrives, reports transponders
// and application commands, tracks the retranslator's link and sends the limit commands it is asked for.
class DataExchange : public QObject {
    Q_OBJECT

public:
    using TransponderState = ::TransponderState;

    explicit DataExchange(QObject *parent = nullptr);
    // Uses `environment` for the local networks, the clock and sending; the program passes the default one.
    explicit DataExchange(std::unique_ptr<ExchangeEnvironment> environment, QObject *parent = nullptr);
    ~DataExchange() override;

    // The link state lives in the thread that created the exchange and is updated through queued calls.
    RetranslatorState *linkState() { return &m_retranslatorState; }

    // One call of the receive loop reads at most this many datagrams, and no further datagram once it has decoded
    // this many frames, so that limit commands, pings and the link check run between calls.
    static constexpr int maxDatagramsPerCall = 64;
    static constexpr int maxFramesPerCall = 64;
    // Hand-overs (reports, application commands, link-state updates) that may wait in the thread that created the
    // exchange. Those that find it this far behind wait in the worker, up to maxWaitingReports; then the worker
    // stops reading the socket until they are down to resumeReadingAt, and datagrams wait in the socket's buffer.
    // While shedding load it reads on and drops the reports that find the worker's queue full.
    static constexpr int maxPendingHandOvers = 64;
    static constexpr int maxWaitingReports = 1024;
    static constexpr int resumeReadingAt = maxWaitingReports / 2;

signals:
    void updateTransponderState(TransponderState ts);
    void controlDataChanged(QJsonObject json);
    void remoteAppCommand(QJsonObject json);

public slots:
    void updateTranspondersLimits(int globalLimit, bool resendToController = true);
    void setTransponderLimit(int transponderId, int limitValue);
    void resendToApps(QJsonObject json);

private slots:
    void pingTimeout();
    void udpReadyRead();

private:
    class DatagramDispatcher;

    void start();
    void stop();
    void ensureBound();
    qint64 readDatagram(quint32 *senderIPv4, quint16 *senderPort, bool throughSocket);
    bool receiverIsBehind() const { return m_handOversSent - m_handOversTaken > maxPendingHandOvers; }
    bool droppingReports() const { return m_sheddingSinceMs >= 0 && m_dropsBeforeShedding >= 0; }
    bool readingMustWait() const;
    void handOver(HandOver &&item);
    void deliver(const HandOver &item);
    void deliverWaiting();
    void acknowledgeHandOvers();
    void handOversTaken(qint64 count);
    void noteDrops(bool datagramsWaited);
    void endSheddingWhenCalm();
    void handleStatusFrame(quint16 globalLimit, const QHostAddress &sender, quint16 senderPort);
    void sendGlobalLimitCommand();
    void sendToRetranslator(const QByteArray &command);
    void checkLink();
    void mergeLinkState(const QJsonObject &update);

    std::unique_ptr<ExchangeEnvironment> m_environment;
    QThread m_workerThread;
    std::unique_ptr<QUdpSocket> m_udpSocket;
    QTimer *m_pingTimer = nullptr;
    QList<QNetworkAddressEntry> m_pingedEntries;
    QHostAddress m_retranslatorBroadcast;
    quint16 m_retranslatorPort = 0;
    int m_currentGlobalLimit = Protocol::unlimitedRpm;
    bool m_bindFailureReported = false;
    // The worker's own copy of what it last merged into the link state, for the link check.
    bool m_linkOnline = false;
    qint64 m_lastStatusSecs = 0;
    // Backpressure: hand-overs queued to the receiving thread, those it has taken (learnt from acknowledgements
    // queued behind them), those waiting in the worker meanwhile, and whether reading waits for them.
    HandOverQueue m_waiting{2 * maxWaitingReports + maxFramesPerCall};
    qint64 m_handOversSent = 0;
    qint64 m_handOversAcknowledged = 0;
    qint64 m_handOversTaken = 0;
    bool m_readingPaused = false;
    bool m_continuationQueued = false;
    // The datagram in the receive buffer: its size, where its decoding goes on, and its sender.
    struct ReceivedDatagram {
        qint64 size = 0;
        qint64 next = 0;
        quint32 senderIPv4 = 0;
        quint16 senderPort = 0;
    } m_received;
    bool m_resumed = false;
    // Shedding load: datagrams the kernel has dropped at the socket so far (as last seen), reports the worker has
    // dropped, and the stretch of dropping under way, logged as it starts and once nothing has been dropped for
    // a second.
    qint64 m_dropsSeen = 0;
    qint64 m_reportsDropped = 0;
    qint64 m_dropsBeforeShedding = -1;
    qint64 m_reportsDroppedBeforeShedding = 0;
    qint64 m_sheddingSinceMs = -1;
    qint64 m_lastShedMs = -1;
    RetranslatorState m_retranslatorState;
};
