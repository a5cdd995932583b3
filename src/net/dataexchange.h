#pragma once

#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QNetworkAddressEntry>
#include <QObject>
#include <QThread>
#include <memory>

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
    void processDatagram(const char *data, qint64 size, quint32 senderIPv4, quint16 senderPort);
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
    int m_currentGlobalLimit = 10000;
    bool m_bindFailureReported = false;
    // The worker's own copy of what it last merged into the link state, for the link check.
    bool m_linkOnline = false;
    qint64 m_lastStatusSecs = 0;
    RetranslatorState m_retranslatorState;
};
