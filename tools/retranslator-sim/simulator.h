#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QRandomGenerator>
#include <QStringList>
#include <QTimer>
#include <QUdpSocket>
#include <memory>

#include "kartmodel.h"
#include "net/protocol.h"
#include "simprotocol.h"

class CaptureReplay;
class QSocketNotifier;

struct SimulatorConfig {
    QList<quint16> transponderIds;
    double frameRateHz = 5.0;  // transponder frames per kart and second
    int statusIntervalMs = 1000;
    quint16 globalLimit = 10000;
    int applyDelayMs = 0;              // how long a limit command takes to come into force
    QList<QHostAddress> destinations;  // explicit destinations
    QStringList interfaces;            // broadcast addresses of these interfaces
    quint16 destinationPort = Protocol::exchangePort;
    QHostAddress bindAddress = QHostAddress(QHostAddress::AnyIPv4);
    quint16 listenPort = Protocol::exchangePort;
    QHash<quint16, qint64> offlineAfterMs;  // karts that fall silent, and after how long (0: from the start)
    bool statusEnabled = true;
    qint64 statusForMs = -1;  // stop status frames after this long; -1: never
    bool packFrames = false;  // all karts' frames of one tick in one datagram
    bool readControl = true;  // take control lines on standard input
    quint32 seed = 1;
};

// The track-side relay: reports every simulated kart and its own global limit, and acts on the limit
// commands that consoles send to it.
class Simulator : public QObject {
    Q_OBJECT

public:
    explicit Simulator(const SimulatorConfig &config, QObject *parent = nullptr);
    ~Simulator() override;

    // Sends what a relay sent in a capture instead of simulated karts; call before start(). Limit commands are
    // then logged but not applied: the recorded karts already carry their limits. The simulator ends with exit
    // status 0 after the capture's last datagram (2 if the file cannot be read again).
    void setReplay(CaptureReplay *replay);

    // Binds the listening socket and starts sending; false when the port cannot be bound.
    bool start();

    // Acts on one control line ("status off", "kart 1001 offline", ...); returns the reply to log.
    QString control(const QString &line);

private:
    struct Kart {
        quint16 transponderId = 0;
        KartProfile profile;
        int limit = 0;  // the limit in force, reported in every frame
        bool online = true;
        bool hold = false;  // ignores limit commands
        QRandomGenerator noise;
    };

    void startReplay(const QString &target);
    void playWhenThereIsADestination();
    void startControlInput();
    void readDatagrams();
    void handleDatagram(const QByteArray &data, const QHostAddress &sender, quint16 senderPort,
                        const QHostAddress &destination);
    // What changed a limit: a console's command, a global command reaching a kart, or a control line.
    enum class LimitCause { Command, Global, Control };
    static QString causeName(LimitCause cause);
    void setKartLimit(Kart &kart, int limit, LimitCause cause);
    void setGlobalLimit(int limit, LimitCause cause);
    void sendTransponderFrames();
    void sendStatusFrame();
    void send(const QByteArray &datagram);
    void refreshDestinations();
    void readControlInput();
    QString controlReply(const QStringList &words);
    QString controlStatus(bool enable);
    QString controlGlobal(const QString &rpm);
    QString controlDelay(const QString &ms);
    QString controlKarts(const QStringList &words);
    QList<Kart *> kartsNamed(const QString &name);
    Kart *findKart(quint16 transponderId);
    QString describe() const;

    SimulatorConfig m_config;
    QList<Kart> m_karts;
    int m_globalLimit = 0;
    QUdpSocket m_socket;
    QTimer m_frameTimer;
    QTimer m_statusTimer;
    QElapsedTimer m_clock;
    QList<QHostAddress> m_destinations;
    QList<QHostAddress> m_ownAddresses;
    bool m_warnedNoDestination = false;
    CaptureReplay *m_replay = nullptr;
    std::unique_ptr<QSocketNotifier> m_controlNotifier;
    QByteArray m_controlBuffer;
};
