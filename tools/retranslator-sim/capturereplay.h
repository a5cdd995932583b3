#pragma once

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

#include "capturereader.h"

struct ReplayConfig {
    QString path;
    QHostAddress source;  // the relay in the capture; null: the sender of the status frames
    double speed = 1.0;   // 2.0 plays twice as fast
    bool loop = false;    // start again after the last datagram instead of finishing
};

// Plays back what a relay sent in a capture file: the payloads of its UDP datagrams to port 11309, with the
// capture's timing. Whatever the consoles sent is left out.
class CaptureReplay : public QObject {
    Q_OBJECT

public:
    using Sender = std::function<void(const QByteArray &payload)>;

    explicit CaptureReplay(const ReplayConfig &config, QObject *parent = nullptr);
    ~CaptureReplay() override;

    // Reads the capture once: checks that it can be read to its end and finds the relay. False, with
    // errorString(), for a missing, damaged or cut-off file and for one without the relay's datagrams.
    bool prepare();
    // Starts sending through `send`; prepare() must have succeeded.
    void start(Sender send);

    const ReplayConfig &config() const { return m_config; }
    QString errorString() const { return m_error; }
    QHostAddress source() const { return m_source; }
    // Counts of the relay's datagrams and of the others (which are left out), from prepare().
    qint64 relayDatagrams() const { return m_relayDatagrams; }
    qint64 otherDatagrams() const { return m_otherDatagrams; }
    qint64 durationUs() const { return m_lastUs - m_firstUs; }
    // Senders of status frames other than the relay chosen (the first of them), from prepare().
    QList<QHostAddress> otherStatusSenders() const { return m_otherStatusSenders; }
    qint64 sent() const { return m_sent; }
    QString describe() const;

signals:
    // The last datagram went out (never emitted with --loop), or the file could not be read again (ok false).
    void finished(bool ok);

private:
    bool isRelayDatagram(const CapturedDatagram &datagram) const;
    bool openForPlaying();
    bool readNextRelayDatagram();
    void sendDue();
    void fail(const QString &message);

    ReplayConfig m_config;
    QHostAddress m_source;
    QList<QHostAddress> m_otherStatusSenders;
    qint64 m_relayDatagrams = 0;
    qint64 m_otherDatagrams = 0;
    qint64 m_firstUs = 0;
    qint64 m_lastUs = 0;
    QString m_error;

    Sender m_send;
    std::unique_ptr<CaptureReader> m_reader;
    CapturedDatagram m_next;
    bool m_hasNext = false;
    QElapsedTimer m_clock;
    qint64 m_loopStartMs = 0;  // m_clock time at which the first datagram of this loop is due
    QTimer m_timer;
    qint64 m_sent = 0;
    int m_loops = 0;
};
