#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QUdpSocket>
#include <QtTest>

#include "net/datagramdecoder.h"

namespace {

struct Received {
    qint64 atMs;
    QList<quint16> statusLimits;
    QList<TransponderState> transponders;
};

class Collector final : public DatagramHandler {
public:
    explicit Collector(Received &received) : m_received(received) {}
    void applicationCommand(const QJsonObject &) override {}
    void statusFrame(quint16 globalRpmLimit) override { m_received.statusLimits << globalRpmLimit; }
    void transponderFrame(const TransponderState &state) override { m_received.transponders << state; }

private:
    Received &m_received;
};

}  // namespace

// The simulator as a process on the loopback interface: the frames it sends (decoded with the console's
// decoder), how it acts on commands, its control lines and its log lines.
class RetranslatorSimTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void sendsFramesAtTheirRates_data();
    void sendsFramesAtTheirRates();
    void limitCommandsComeIntoForce();
    void ignoresPingsAndAppCommandsAndRejectsMalformedOnes_data();
    void ignoresPingsAndAppCommandsAndRejectsMalformedOnes();
    void delayedLimitsComeLater();
    void controlLinesChangeWhatItSends();
    void offlineKartsFallSilent();
    void refusesBadOptions_data();
    void refusesBadOptions();
    void reportsAPortItCannotBind();

private:
    void startSimulator(const QStringList &extraArguments);
    QString waitForLine(const QString &pattern, int timeoutMs = 3000);
    void sendCommand(const QByteArray &datagram);
    void control(const QString &line);
    // Datagrams received after `sinceMs` (time of m_clock).
    QList<Received> receivedSince(qint64 sinceMs) const;
    QList<TransponderState> reportsSince(qint64 sinceMs, int transponderId) const;
    QList<quint16> statusSince(qint64 sinceMs) const;

    std::unique_ptr<QProcess> m_process;
    std::unique_ptr<QUdpSocket> m_receiver;
    std::unique_ptr<QUdpSocket> m_console;
    QStringList m_lines;
    QByteArray m_pendingOutput;
    quint16 m_simulatorPort = 0;
    QElapsedTimer m_clock;
    QList<Received> m_received;
};

void RetranslatorSimTest::init() {
    m_lines.clear();
    m_pendingOutput.clear();
    m_received.clear();
    m_clock.start();
    m_receiver = std::make_unique<QUdpSocket>();
    QVERIFY(m_receiver->bind(QHostAddress(QHostAddress::LocalHost), 0));
    connect(m_receiver.get(), &QUdpSocket::readyRead, this, [this] {
        while (m_receiver->hasPendingDatagrams()) {
            const QByteArray data = m_receiver->receiveDatagram().data();
            Received received{m_clock.elapsed(), {}, {}};
            Collector collector(received);
            decodeDatagram(data.constData(), data.size(), collector);
            m_received << received;
        }
    });
    m_console = std::make_unique<QUdpSocket>();
    QVERIFY(m_console->bind(QHostAddress(QHostAddress::LocalHost), 0));
}

void RetranslatorSimTest::cleanup() {
    if (m_process) {
        m_process->kill();
        m_process->waitForFinished(3000);
    }
    m_process.reset();
    m_receiver.reset();
    m_console.reset();
}

void RetranslatorSimTest::startSimulator(const QStringList &extraArguments) {
    m_process = std::make_unique<QProcess>();
    connect(m_process.get(), &QProcess::readyReadStandardError, this, [this] {
        m_pendingOutput += m_process->readAllStandardError();
        int newline;
        while ((newline = m_pendingOutput.indexOf('\n')) >= 0) {
            m_lines << QString::fromUtf8(m_pendingOutput.left(newline));
            m_pendingOutput.remove(0, newline + 1);
        }
    });
    // Loopback only: nothing leaves the host.
    const QStringList arguments = QStringList{QStringLiteral("--to"),          QStringLiteral("127.0.0.1"),
                                              QStringLiteral("--dest-port"),   QString::number(m_receiver->localPort()),
                                              QStringLiteral("--bind"),        QStringLiteral("127.0.0.1"),
                                              QStringLiteral("--listen-port"), QStringLiteral("0")} +
                                  extraArguments;
    m_process->start(QStringLiteral(RETRANSLATOR_SIM), arguments);
    QVERIFY(m_process->waitForStarted());
    const QString start = waitForLine(QStringLiteral("start karts="));
    const QRegularExpressionMatch listen =
        QRegularExpression(QStringLiteral("listen=127\\.0\\.0\\.1:(\\d+) ")).match(start);
    QVERIFY2(listen.hasMatch(), qPrintable(start));
    m_simulatorPort = quint16(listen.captured(1).toUInt());
}

QString RetranslatorSimTest::waitForLine(const QString &pattern, int timeoutMs) {
    const QRegularExpression expression(pattern);
    QString found;
    const bool ok = QTest::qWaitFor(
        [&] {
            for (const QString &line : qAsConst(m_lines)) {
                if (expression.match(line).hasMatch()) {
                    found = line;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    if (!ok)
        qWarning().noquote() << "no line matches" << pattern << "in:\n" << m_lines.join(QLatin1Char('\n'));
    return found;
}

void RetranslatorSimTest::sendCommand(const QByteArray &datagram) {
    QCOMPARE(m_console->writeDatagram(datagram, QHostAddress::LocalHost, m_simulatorPort), qint64(datagram.size()));
}

void RetranslatorSimTest::control(const QString &line) {
    const int before = m_lines.size();
    m_process->write(line.toUtf8() + '\n');
    QVERIFY(QTest::qWaitFor(
        [&] {
            for (int i = before; i < m_lines.size(); ++i) {
                if (m_lines[i].contains(QStringLiteral("control \"%1\" -> ok").arg(line)))
                    return true;
            }
            return false;
        },
        3000));
}

QList<Received> RetranslatorSimTest::receivedSince(qint64 sinceMs) const {
    QList<Received> result;
    for (const Received &received : m_received) {
        if (received.atMs >= sinceMs)
            result << received;
    }
    return result;
}

QList<TransponderState> RetranslatorSimTest::reportsSince(qint64 sinceMs, int transponderId) const {
    QList<TransponderState> result;
    for (const Received &received : receivedSince(sinceMs)) {
        for (const TransponderState &state : received.transponders) {
            if (state.transponderId == transponderId)
                result << state;
        }
    }
    return result;
}

QList<quint16> RetranslatorSimTest::statusSince(qint64 sinceMs) const {
    QList<quint16> result;
    for (const Received &received : receivedSince(sinceMs))
        result += received.statusLimits;
    return result;
}

void RetranslatorSimTest::sendsFramesAtTheirRates_data() {
    QTest::addColumn<bool>("packed");
    QTest::newRow("one frame per datagram") << false;
    QTest::newRow("packed") << true;
}

void RetranslatorSimTest::sendsFramesAtTheirRates() {
    QFETCH(bool, packed);
    QStringList arguments{
        QStringLiteral("--karts"), QStringLiteral("3"),  QStringLiteral("--first-id"),        QStringLiteral("500"),
        QStringLiteral("--rate"),  QStringLiteral("20"), QStringLiteral("--status-interval"), QStringLiteral("200")};
    if (packed)
        arguments << QStringLiteral("--pack");
    startSimulator(arguments);
    const qint64 since = m_clock.elapsed();
    QTest::qWait(1500);
    const qint64 until = m_clock.elapsed();

    for (const int id : {500, 501, 502}) {
        const QList<TransponderState> reports = reportsSince(since, id);
        // 20 per second; generous bounds for a loaded machine.
        QVERIFY2(reports.size() >= 15 && reports.size() <= 40, qPrintable(QString::number(reports.size())));
        int lowest = INT_MAX, highest = 0;
        for (const TransponderState &state : reports) {
            QCOMPARE(state.limitValue, 10000);
            QVERIFY(state.rpmValue > 0 && state.rpmValue <= 10000);
            QVERIFY(state.rssiValue < -30 && state.rssiValue > -110);
            lowest = qMin(lowest, state.rpmValue);
            highest = qMax(highest, state.rpmValue);
        }
        QVERIFY2(highest > lowest, "RPM does not change");
    }
    QVERIFY(reportsSince(since, 503).isEmpty());
    const QList<quint16> status = statusSince(since);
    QVERIFY2(status.size() >= 5 && status.size() <= 10, qPrintable(QString::number(status.size())));
    QCOMPARE(status.count(10000), status.size());
    for (const Received &received : receivedSince(since)) {
        if (received.atMs < until && packed && received.statusLimits.isEmpty())
            QCOMPARE(received.transponders.size(), 3);
        else if (!packed)
            QCOMPARE(received.transponders.size() + received.statusLimits.size(), 1);
    }
}

void RetranslatorSimTest::limitCommandsComeIntoForce() {
    startSimulator({QStringLiteral("--ids"), QStringLiteral("7,65535"), QStringLiteral("--rate"), QStringLiteral("20"),
                    QStringLiteral("--status-interval"), QStringLiteral("100")});
    sendCommand("GLOBALRPMLIMIT:3000,-1");
    QVERIFY(!waitForLine(QStringLiteral("recv kind=global from=127\\.0\\.0\\.1:%1 to=127\\.0\\.0\\.1 "
                                        "result=applied text=\"GLOBALRPMLIMIT:3000,-1\"")
                             .arg(m_console->localPort()))
                 .isEmpty());
    QVERIFY(!waitForLine(QStringLiteral("limit kart=65535 rpm=3000 cause=global")).isEmpty());
    qint64 since = m_clock.elapsed();
    QTest::qWait(500);
    QVERIFY(!statusSince(since).isEmpty());
    QCOMPARE(statusSince(since).count(3000), statusSince(since).size());
    for (const int id : {7, 65535}) {
        const QList<TransponderState> reports = reportsSince(since, id);
        QVERIFY(reports.size() >= 5);
        for (const TransponderState &state : reports) {
            QCOMPARE(state.limitValue, 3000);
            QVERIFY(state.rpmValue <= 3000);
        }
    }

    sendCommand("TRANSPONDERRPMLIMIT:65535,2300");
    QVERIFY(!waitForLine(QStringLiteral("recv kind=transponder .* result=applied")).isEmpty());
    sendCommand("TRANSPONDERRPMLIMIT:8,2300");
    QVERIFY(!waitForLine(QStringLiteral("recv kind=transponder .* result=unknown-transponder "
                                        "text=\"TRANSPONDERRPMLIMIT:8,2300\""))
                 .isEmpty());
    since = m_clock.elapsed();
    QTest::qWait(400);
    for (const TransponderState &state : reportsSince(since, 65535)) {
        QCOMPARE(state.limitValue, 2300);
        QVERIFY(state.rpmValue <= 2300);
    }
    QVERIFY(!reportsSince(since, 7).isEmpty());
    for (const TransponderState &state : reportsSince(since, 7))
        QCOMPARE(state.limitValue, 3000);
    // The global limit is the relay's own; a kart's limit does not change it.
    QCOMPARE(statusSince(since).count(3000), statusSince(since).size());
}

void RetranslatorSimTest::ignoresPingsAndAppCommandsAndRejectsMalformedOnes_data() {
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QString>("expectedLine");
    QTest::newRow("ping") << QByteArray("RERADOZ")
                          << QStringLiteral("recv kind=ping from=.* result=ignored text=\"RERADOZ\"");
    QTest::newRow("app command") << QByteArray(R"({"appCommand":"globalRpmLimit","value":"p25"})")
                                 << QStringLiteral("recv kind=app from=.* result=ignored text=\"\\{\\\\\"appCommand");
    QTest::newRow("bad number") << QByteArray("GLOBALRPMLIMIT:fast,-1")
                                << QStringLiteral(
                                       "recv kind=malformed from=.* result=rejected reason=\".+\" "
                                       "text=\"GLOBALRPMLIMIT:fast,-1\"");
    QTest::newRow("binary") << QByteArray("\x00\xff\"", 3)
                            << QStringLiteral("recv kind=malformed .* text=\"\\\\x00\\\\xff\\\\\"\"");
    QTest::newRow("out of range") << QByteArray("TRANSPONDERRPMLIMIT:1001,70000")
                                  << QStringLiteral("recv kind=malformed .*out of range");
}

void RetranslatorSimTest::ignoresPingsAndAppCommandsAndRejectsMalformedOnes() {
    QFETCH(QByteArray, datagram);
    QFETCH(QString, expectedLine);
    startSimulator({QStringLiteral("--karts"), QStringLiteral("2"), QStringLiteral("--rate"), QStringLiteral("20"),
                    QStringLiteral("--status-interval"), QStringLiteral("100")});
    sendCommand(datagram);
    QVERIFY(!waitForLine(expectedLine).isEmpty());

    // Nothing changed, and the relay carries on.
    const qint64 since = m_clock.elapsed();
    QTest::qWait(400);
    QCOMPARE(m_process->state(), QProcess::Running);
    QVERIFY(!statusSince(since).isEmpty());
    QCOMPARE(statusSince(since).count(10000), statusSince(since).size());
    QVERIFY(!reportsSince(since, 1001).isEmpty());
    for (const TransponderState &state : reportsSince(since, 1001))
        QCOMPARE(state.limitValue, 10000);
    for (const QString &line : qAsConst(m_lines))
        QVERIFY2(!line.contains(QLatin1String("limit kart=")) && !line.contains(QLatin1String("global limit=")),
                 qPrintable(line));
}

void RetranslatorSimTest::delayedLimitsComeLater() {
    startSimulator({QStringLiteral("--karts"), QStringLiteral("1"), QStringLiteral("--rate"), QStringLiteral("50"),
                    QStringLiteral("--status-interval"), QStringLiteral("50"), QStringLiteral("--apply-delay"),
                    QStringLiteral("800")});
    const qint64 sent = m_clock.elapsed();
    sendCommand("GLOBALRPMLIMIT:2300,-1");
    QVERIFY(!waitForLine(QStringLiteral("recv kind=global .* result=pending")).isEmpty());
    QVERIFY(!waitForLine(QStringLiteral("limit kart=1001 rpm=2300 cause=global")).isEmpty());
    const qint64 applied = m_clock.elapsed();
    QVERIFY2(applied - sent >= 700, qPrintable(QString::number(applied - sent)));

    // Until then the relay kept reporting the old limits.
    for (const Received &received : receivedSince(sent)) {
        if (received.atMs > sent + 600)
            break;
        for (const quint16 limit : received.statusLimits)
            QCOMPARE(limit, quint16(10000));
        for (const TransponderState &state : received.transponders)
            QCOMPARE(state.limitValue, 10000);
    }
    QTest::qWait(200);
    const QList<TransponderState> after = reportsSince(applied + 50, 1001);
    QVERIFY(!after.isEmpty());
    QCOMPARE(after.last().limitValue, 2300);
    QCOMPARE(statusSince(applied + 50).last(), quint16(2300));
}

void RetranslatorSimTest::controlLinesChangeWhatItSends() {
    startSimulator({QStringLiteral("--karts"), QStringLiteral("3"), QStringLiteral("--rate"), QStringLiteral("20"),
                    QStringLiteral("--status-interval"), QStringLiteral("100")});

    control(QStringLiteral("status off"));
    qint64 since = m_clock.elapsed() + 50;
    QTest::qWait(500);
    QVERIFY(statusSince(since).isEmpty());
    QVERIFY(!reportsSince(since, 1001).isEmpty());
    control(QStringLiteral("global 4000"));
    control(QStringLiteral("status on"));
    since = m_clock.elapsed();
    QTest::qWait(300);
    QVERIFY(!statusSince(since).isEmpty());
    QCOMPARE(statusSince(since).count(4000), statusSince(since).size());
    // The reported global limit alone: the karts keep theirs.
    for (const TransponderState &state : reportsSince(since, 1001))
        QCOMPARE(state.limitValue, 10000);

    control(QStringLiteral("kart 1002 offline"));
    since = m_clock.elapsed() + 50;
    QTest::qWait(300);
    QVERIFY(reportsSince(since, 1002).isEmpty());
    QVERIFY(!reportsSince(since, 1003).isEmpty());
    control(QStringLiteral("kart 1002 online"));
    since = m_clock.elapsed() + 50;
    QTest::qWait(300);
    QVERIFY(!reportsSince(since, 1002).isEmpty());

    control(QStringLiteral("kart 1001 hold on"));
    sendCommand("TRANSPONDERRPMLIMIT:1001,2300");
    QVERIFY(!waitForLine(QStringLiteral("recv kind=transponder .* result=held")).isEmpty());
    sendCommand("GLOBALRPMLIMIT:3000,-1");
    QVERIFY(!waitForLine(QStringLiteral("limit kart=1003 rpm=3000 cause=global")).isEmpty());
    control(QStringLiteral("kart 1001 limit 7000"));
    since = m_clock.elapsed() + 50;
    QTest::qWait(300);
    QVERIFY(!reportsSince(since, 1001).isEmpty());
    for (const TransponderState &state : reportsSince(since, 1001))
        QCOMPARE(state.limitValue, 7000);
    for (const TransponderState &state : reportsSince(since, 1002))
        QCOMPARE(state.limitValue, 3000);

    control(QStringLiteral("kart all offline"));
    since = m_clock.elapsed() + 50;
    QTest::qWait(300);
    for (const Received &received : receivedSince(since))
        QVERIFY(received.transponders.isEmpty());

    m_process->write("kart 99 offline\nshow\n");
    QVERIFY(!waitForLine(QStringLiteral("control \"kart 99 offline\" -> error: no kart 99")).isEmpty());
    QVERIFY(!waitForLine(QStringLiteral("control \"show\" -> state global=3000 status=on delay=0ms "
                                        "karts=1001:7000:offline:hold,1002:3000:offline,1003:3000:offline"))
                 .isEmpty());
    m_process->write("quit\n");
    QVERIFY(m_process->waitForFinished(3000));
    QCOMPARE(m_process->exitCode(), 0);
}

void RetranslatorSimTest::offlineKartsFallSilent() {
    startSimulator({QStringLiteral("--karts"), QStringLiteral("3"), QStringLiteral("--rate"), QStringLiteral("20"),
                    QStringLiteral("--offline"), QStringLiteral("1002,1003@0.4"), QStringLiteral("--status-for"),
                    QStringLiteral("0.4"), QStringLiteral("--status-interval"), QStringLiteral("100")});
    QTest::qWait(300);
    QVERIFY(!reportsSince(0, 1003).isEmpty());
    QVERIFY(!statusSince(0).isEmpty());
    QVERIFY(!waitForLine(QStringLiteral("control \"kart 1003 offline\" -> ok")).isEmpty());
    QVERIFY(!waitForLine(QStringLiteral("control \"status off\" -> ok")).isEmpty());
    const qint64 since = m_clock.elapsed() + 50;
    QTest::qWait(400);
    QVERIFY(reportsSince(0, 1002).isEmpty());
    QVERIFY(reportsSince(since, 1003).isEmpty());
    QVERIFY(statusSince(since).isEmpty());
    QVERIFY(!reportsSince(since, 1001).isEmpty());
}

void RetranslatorSimTest::refusesBadOptions_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("negative karts") << QStringList{QStringLiteral("--karts"), QStringLiteral("-1")};
    QTest::newRow("ids beyond 16 bits") << QStringList{QStringLiteral("--first-id"), QStringLiteral("65530")};
    QTest::newRow("duplicate ids") << QStringList{QStringLiteral("--ids"), QStringLiteral("5,5")};
    QTest::newRow("zero rate") << QStringList{QStringLiteral("--rate"), QStringLiteral("0")};
    QTest::newRow("not an address") << QStringList{QStringLiteral("--to"), QStringLiteral("track.lan")};
    // Both are 127.0.0.1 to Qt, so a simulator that took them would send nowhere but here.
    QTest::newRow("shorthand address") << QStringList{QStringLiteral("--to"), QStringLiteral("127.1")};
    QTest::newRow("octal address") << QStringList{QStringLiteral("--to"), QStringLiteral("0177.0.0.1")};
    QTest::newRow("bad offline item") << QStringList{QStringLiteral("--offline"), QStringLiteral("5@x")};
    QTest::newRow("stray argument") << QStringList{QStringLiteral("go")};
}

void RetranslatorSimTest::refusesBadOptions() {
    QFETCH(QStringList, arguments);
    QProcess process;
    process.start(QStringLiteral(RETRANSLATOR_SIM),
                  arguments + QStringList{QStringLiteral("--to"), QStringLiteral("127.0.0.1")});
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitCode(), 2);
    QVERIFY(process.readAllStandardError().contains("see --help"));
}

void RetranslatorSimTest::reportsAPortItCannotBind() {
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress(QHostAddress::LocalHost), 0, QUdpSocket::DontShareAddress));
    QProcess process;
    process.start(QStringLiteral(RETRANSLATOR_SIM),
                  {QStringLiteral("--to"), QStringLiteral("127.0.0.1"), QStringLiteral("--bind"),
                   QStringLiteral("127.0.0.1"), QStringLiteral("--listen-port"), QString::number(holder.localPort())});
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitCode(), 1);
    QVERIFY(process.readAllStandardError().contains("cannot bind 127.0.0.1:" + QByteArray::number(holder.localPort())));
}

void RetranslatorSimTest::initTestCase() {
    // The decoder logs every datagram and frame marker; that would drown the test's own output.
    QLoggingCategory::setFilterRules(QStringLiteral("zadar.net.debug=false"));
}

QTEST_GUILESS_MAIN(RetranslatorSimTest)
#include "tst_retranslatorsim.moc"
