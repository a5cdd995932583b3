#pragma once

#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QNetworkAddressEntry>
#include <QObject>
#include <QThread>
#include <memory>

#include "protocol.h"
#include "retranslatorstate.h"
#include "transponderstate.h"
#include "waitinghandovers.h"

class ExchangeEnvironment;
class QTimer;
class QUdpSocket;

// The console's only network object. It lives in its own worker thread, where it owns the UDP socket on
// port 11309 and the ping timer: it pings every local network, decodes what arrives, reports transponders
// and application commands, tracks the retranslator's link and sends the limit commands it is asked for.
// docs/performance.md tells how it keeps up with a flood.
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

    // One call of the receive loop reads at most this many datagrams, and none after this many frames.
    static constexpr int maxDatagramsPerCall = 64;
    static constexpr int maxFramesPerCall = 64;
    // Hand-overs on their way to the main thread before the next ones wait in the worker.
    static constexpr int maxHandOversInFlight = 64;
    // Reading waits while this many application commands wait in the worker.
    static constexpr int maxWaitingCommands = 1000;

signals:
    void updateTransponderState(TransponderState ts);
    void controlDataChanged(QJsonObject json);
    // An application command, who sent it, and whether it is this console's own command come back.
    void remoteAppCommand(QJsonObject json, QString senderAddress, bool ownCommand);
    // A status frame reported another global limit than this console's, which sent its own again.
    void globalLimitReasserted(int globalLimit, int reportedLimit, QString retranslatorAddress);
    // A stretch of merging reports ended: how long it lasted and how many reports newer ones replaced.
    void mergingEnded(qint64 durationMs, qint64 reportsReplaced);

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
    bool mainThreadIsBehind() const { return m_handedOver - m_takenByMainThread > maxHandOversInFlight; }
    bool readingMustWait() const { return m_waiting.applicationCommands() >= maxWaitingCommands; }
    void handOver(HandOver item);
    void deliver(const HandOver &item);
    void acknowledgeHandOvers();
    void handOversTaken(qint64 count);
    void noteMerging(qint64 replacedBefore);
    void endMergingWhenCalm();
    void handleStatusFrame(quint16 globalLimit, const QHostAddress &sender, quint16 senderPort);
    bool sendGlobalLimitCommand();
    bool sendToRetranslator(const QByteArray &command);
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
    WaitingHandOvers m_waiting;
    qint64 m_handedOver = 0;            // hand-overs emitted towards the main thread
    qint64 m_acknowledgementAsked = 0;  // of those, the ones an acknowledgement queued behind them covers
    qint64 m_takenByMainThread = 0;     // the ones the main thread has acknowledged taking
    qint64 m_reportsReplaced = 0;       // waiting reports replaced by a newer one of the same transponder
    // The stretch of merging under way: since when, its last replacement, and the count before it (-1: none).
    qint64 m_mergingSinceMs = -1;
    qint64 m_lastMergeMs = 0;
    qint64 m_replacedBeforeMerging = 0;
    RetranslatorState m_retranslatorState;
};
