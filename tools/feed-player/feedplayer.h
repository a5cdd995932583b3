#pragma once

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QTimer>
#include <QVector>
#include <optional>

#include "timing/raceflag.h"

class QTcpSocket;

// Plays a recorded RMonitor session as timing software does: a TCP server that sends the file's lines, each ended
// with CR LF, to every client connected at the time. Playing starts with the first client. A $F heartbeat goes out
// as long after the previous one as their times of day differ (divided by the speed); any other line right after
// the line before it.
class FeedPlayer : public QObject {
    Q_OBJECT

public:
    struct Config {
        QString path;
        QHostAddress listenAddress{QHostAddress::LocalHost};
        quint16 port = 50000;
        double speed = 1;
        bool loop = false;
    };

    explicit FeedPlayer(const Config &config, QObject *parent = nullptr);

    // Reads the file and starts listening; false, with the reason logged, when either fails.
    bool start();

private:
    struct Line {
        QByteArray bytes;  // with CR LF
        qint64 atMs;       // from the first line, at speed 1
        bool heartbeat;
        RaceFlag flag;
    };

    bool load();
    void addClients();
    void playDue();
    void send(const Line &line);
    void finish();

    Config m_config;
    QVector<Line> m_lines;
    QTcpServer m_server;
    QList<QTcpSocket *> m_clients;
    QTimer m_timer;
    QElapsedTimer m_clock;  // started with the first client
    qint64 m_pauseMs = 0;   // before the first line of a round: 1 s when looping
    int m_next = 0;
    int m_round = 1;
    qint64 m_sent = 0;
    std::optional<RaceFlag> m_lastFlag;
    bool m_finished = false;
};
