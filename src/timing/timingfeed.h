#pragma once

#include <QJsonObject>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>

#include "linereader.h"
#include "raceflag.h"

// Follows the race flag of the track's timing system through its RMonitor feed: a TCP client of the timing
// software, in the main thread, that only reads. It connects to the address it is given, tries again every 2 s
// after a loss, a refusal or no answer, and takes 5 s without a byte as a loss.
class TimingFeed : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString address READ address NOTIFY stateChanged)
    Q_PROPERTY(bool connected READ isConnected NOTIFY stateChanged)
    Q_PROPERTY(QString flag READ flagName NOTIFY stateChanged)
    Q_PROPERTY(QString runName READ runName NOTIFY stateChanged)

public:
    static constexpr int retryIntervalMs = 2000;
    static constexpr int silenceTimeoutMs = 5000;
    static constexpr qint64 readBufferBytes = 64 * 1024;

    explicit TimingFeed(QObject *parent = nullptr);
    ~TimingFeed() override;

    // "host", "host:port" or "192.168.1.20:50000"; empty, or an address that cannot be used, switches the feed off.
    void setAddress(const QString &address);

    QString address() const { return m_address; }
    bool isConnected() const { return m_connected; }
    // The last flag received, kept through a loss; "" (None) before any.
    RaceFlag flag() const { return m_flag; }
    QString flagName() const { return raceFlagName(m_flag); }
    // The name of the session from its $B record; empty after an init record until the next one.
    QString runName() const { return m_runName; }

    // The settings screen's view of the stored settings (TimingFeedSettings' keys).
    Q_INVOKABLE QJsonObject settings() const;
    // Stores them and follows the new address at once; false, and nothing stored, when the address is unusable.
    Q_INVOKABLE bool saveSettings(const QJsonObject &json);
    Q_INVOKABLE bool isUsableAddress(const QString &address) const;

signals:
    void feedConnected(const QString &address);
    // Once per outage, however many attempts fail in it; also when the address is changed or the feed switched off.
    void feedLost(const QString &address, const QString &reason);
    // A flag other than the last, or the first flag after each connection even when it is the same.
    void raceFlagChanged(RaceFlag flag, const QString &runName);
    // Any of the properties changed.
    void stateChanged();

private:
    void connectToServer();
    void onConnected();
    void fail(const QString &reason);
    void readLines();
    void handleLine(const QByteArray &line);
    void setFlag(RaceFlag flag);
    void setRunName(const QString &name);

    QTcpSocket m_socket;
    QTimer m_retry;
    QTimer m_silence;
    LineReader m_reader;
    QString m_address;
    QString m_host;
    quint16 m_port = 0;
    bool m_connected = false;
    bool m_lostReported = false;  // in this outage
    bool m_flagCurrent = false;   // a flag was received since the connection
    bool m_badFlagWarned = false;
    RaceFlag m_flag = RaceFlag::None;
    QString m_runName;
};
