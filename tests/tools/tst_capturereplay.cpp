#include <pcap/pcap.h>

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include "frames.h"

namespace {

// One UDP datagram of a capture; addresses as dotted text.
struct Packet {
    qint64 timeMs;
    const char *source;
    quint16 destinationPort;
    QByteArray payload;
};

using Protocol::exchangePort;

QByteArray ipv4(const char *text) {
    QByteArray bytes;
    for (const QByteArray &part : QByteArray(text).split('.'))
        bytes += char(part.toInt());
    return bytes;
}

// An Ethernet frame with the IPv4 UDP datagram, broadcast on 10.0.0.0/24.
QByteArray ethernetFrame(const Packet &packet) {
    QByteArray udp;
    QDataStream udpOut(&udp, QIODevice::WriteOnly);
    udpOut << quint16(exchangePort) << packet.destinationPort << quint16(8 + packet.payload.size()) << quint16(0);
    udp += packet.payload;
    QByteArray ip;
    QDataStream ipOut(&ip, QIODevice::WriteOnly);
    ipOut << quint8(0x45) << quint8(0) << quint16(20 + udp.size()) << quint16(0) << quint16(0x4000) << quint8(64)
          << quint8(17) << quint16(0);
    ip += ipv4(packet.source) + ipv4("10.0.0.255") + udp;
    return QByteArray(6, '\xff') + QByteArray::fromHex("020000000001") + QByteArray::fromHex("0800") + ip;
}

void writeCapture(const QString &path, const QList<Packet> &packets) {
    pcap_t *dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t *dumper = pcap_dump_open(dead, QFile::encodeName(path).constData());
    QVERIFY(dumper);
    for (const Packet &packet : packets) {
        const QByteArray frame = ethernetFrame(packet);
        pcap_pkthdr header{};
        header.ts.tv_sec = 1700000000 + packet.timeMs / 1000;
        header.ts.tv_usec = (packet.timeMs % 1000) * 1000;
        header.caplen = header.len = bpf_u_int32(frame.size());
        pcap_dump(reinterpret_cast<u_char *>(dumper), &header, reinterpret_cast<const u_char *>(frame.constData()));
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
}

QByteArray captureBytes(const QList<Packet> &packets) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("capture.pcap"));
    writeCapture(path, packets);
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A relay at 10.0.0.5 and a console at 10.0.0.20 on one network, as a capture on the track PC shows them.
const QList<Packet> &trackCapture() {
    static const QList<Packet> packets{
        {0, "10.0.0.5", exchangePort, TestFrames::statusFrame(10000)},
        {0, "10.0.0.5", exchangePort, TestFrames::transponderFrame(1001, 5000, 10000, -60)},
        {100, "10.0.0.20", exchangePort, "RERADOZ"},
        {200, "10.0.0.5", exchangePort,
         TestFrames::transponderFrame(1002, 4000, 10000, -70) + TestFrames::transponderFrame(1003, 3000, 10000, -80)},
        {300, "10.0.0.20", exchangePort, "GLOBALRPMLIMIT:3000,-1"},
        {350, "10.0.0.5", 53, "not for the console"},
        {400, "10.0.0.20", exchangePort, R"({"appCommand":"globalRpmLimit","value":"p50"})"},
        {600, "10.0.0.5", exchangePort, TestFrames::statusFrame(3000)},
        {900, "10.0.0.5", exchangePort, "whatever the relay sent"},
    };
    return packets;
}

}  // namespace

// retranslator-sim --replay as a process on loopback: what it sends from a capture and when, and the files it
// refuses. (The end-to-end test e2e_replay replays the shipped sample into consoles.)
class CaptureReplayTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void sendsTheRelaysDatagramsWithTheirTiming_data();
    void sendsTheRelaysDatagramsWithTheirTiming();
    void loopsUntilStopped();
    void refusesWhatItCannotReplay_data();
    void refusesWhatItCannotReplay();

private:
    void startReplay(const QStringList &arguments);
    bool waitForLine(const QString &pattern, int timeoutMs = 5000);

    QTemporaryDir m_dir;
    QString m_capture;
    std::unique_ptr<QUdpSocket> m_receiver;
    QList<QPair<qint64, QByteArray>> m_received;
    QElapsedTimer m_clock;
    std::unique_ptr<QProcess> m_process;
    QStringList m_lines;
};

void CaptureReplayTest::init() {
    QVERIFY(m_dir.isValid());
    m_capture = m_dir.filePath(QStringLiteral("track.pcap"));
    writeCapture(m_capture, trackCapture());
    m_received.clear();
    m_lines.clear();
    m_clock.start();
    m_receiver = std::make_unique<QUdpSocket>();
    QVERIFY(m_receiver->bind(QHostAddress(QHostAddress::LocalHost), 0));
    connect(m_receiver.get(), &QUdpSocket::readyRead, this, [this] {
        while (m_receiver->hasPendingDatagrams())
            m_received.append({m_clock.elapsed(), m_receiver->receiveDatagram().data()});
    });
}

void CaptureReplayTest::cleanup() {
    if (m_process) {
        m_process->kill();
        m_process->waitForFinished(3000);
    }
    m_process.reset();
    m_receiver.reset();
}

void CaptureReplayTest::startReplay(const QStringList &arguments) {
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    connect(m_process.get(), &QProcess::readyRead, this, [this] {
        while (m_process->canReadLine())
            m_lines << QString::fromUtf8(m_process->readLine()).trimmed();
    });
    // Loopback only: nothing leaves the host.
    m_process->start(
        QStringLiteral(RETRANSLATOR_SIM),
        QStringList{QStringLiteral("--replay"), m_capture, QStringLiteral("--to"), QStringLiteral("127.0.0.1"),
                    QStringLiteral("--dest-port"), QString::number(m_receiver->localPort()), QStringLiteral("--bind"),
                    QStringLiteral("127.0.0.1"), QStringLiteral("--listen-port"), QStringLiteral("0")} +
            arguments);
    QVERIFY(m_process->waitForStarted());
}

bool CaptureReplayTest::waitForLine(const QString &pattern, int timeoutMs) {
    const QRegularExpression expression(pattern);
    const bool found = QTest::qWaitFor(
        [&] {
            return std::any_of(m_lines.cbegin(), m_lines.cend(),
                               [&](const QString &line) { return expression.match(line).hasMatch(); });
        },
        timeoutMs);
    if (!found)
        qWarning().noquote() << "no line matches" << pattern << "in:\n" << m_lines.join(QLatin1Char('\n'));
    return found;
}

void CaptureReplayTest::sendsTheRelaysDatagramsWithTheirTiming_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("source");
    QTest::addColumn<double>("speed");
    QTest::addColumn<QList<int>>("sent");  // indexes into trackCapture()

    QTest::newRow("the relay is the sender of the status frames")
        << QStringList{} << QStringLiteral("10.0.0.5") << 1.0 << QList<int>{0, 1, 3, 7, 8};
    QTest::newRow("twice as fast") << QStringList{QStringLiteral("--speed"), QStringLiteral("2")}
                                   << QStringLiteral("10.0.0.5") << 2.0 << QList<int>{0, 1, 3, 7, 8};
    QTest::newRow("another sender named") << QStringList{QStringLiteral("--replay-source"), QStringLiteral("10.0.0.20")}
                                          << QStringLiteral("10.0.0.20") << 1.0 << QList<int>{2, 4, 6};
}

void CaptureReplayTest::sendsTheRelaysDatagramsWithTheirTiming() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, source);
    QFETCH(double, speed);
    QFETCH(QList<int>, sent);
    startReplay(arguments);
    QVERIFY(waitForLine(QStringLiteral("start replay=.* source=%1 datagrams=%2 left-out=%3 ")
                            .arg(QRegularExpression::escape(source))
                            .arg(sent.size())
                            .arg(8 - sent.size())));

    // The event loop runs while waiting, so every datagram is stamped as it comes.
    QTRY_COMPARE_WITH_TIMEOUT(m_process->state(), QProcess::NotRunning, 5000);
    QCOMPARE(m_process->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_process->exitCode(), 0);
    QVERIFY(waitForLine(QStringLiteral("replay end sent=%1").arg(sent.size())));
    QCOMPARE(m_received.size(), sent.size());
    const qint64 firstMs = trackCapture().at(sent.first()).timeMs;
    for (int i = 0; i < sent.size(); ++i) {
        const Packet &packet = trackCapture().at(sent.at(i));
        QCOMPARE(m_received.at(i).second, packet.payload);
        // Relative to the first datagram; a loaded machine may be late, never early.
        const qint64 wantedMs = qint64((packet.timeMs - firstMs) / speed);
        const qint64 actualMs = m_received.at(i).first - m_received.first().first;
        QVERIFY2(
            actualMs >= wantedMs - 15 && actualMs <= wantedMs + 150,
            qPrintable(QStringLiteral("datagram %1 after %2 ms, wanted %3 ms").arg(i).arg(actualMs).arg(wantedMs)));
    }
}

void CaptureReplayTest::loopsUntilStopped() {
    startReplay({QStringLiteral("--loop"), QStringLiteral("--speed"), QStringLiteral("5")});
    // Five datagrams in 180 ms a round, the next round one average gap (36 ms) after the last.
    QTRY_VERIFY_WITH_TIMEOUT(m_received.size() >= 15, 5000);
    QCOMPARE(m_process->state(), QProcess::Running);
    for (int i = 0; i < 15; ++i)
        QCOMPARE(m_received.at(i).second, trackCapture().at(QList<int>{0, 1, 3, 7, 8}.at(i % 5)).payload);
    m_process->write("show\nstatus off\n");
    QVERIFY(
        waitForLine(QStringLiteral("control \"show\" -> replay source=10\\.0\\.0\\.5 sent=\\d+ of \\d+ loop=[3-9]")));
    QVERIFY(waitForLine(QStringLiteral("control \"status off\" -> error: not while replaying")));
}

void CaptureReplayTest::refusesWhatItCannotReplay_data() {
    QTest::addColumn<QByteArray>("content");  // of the capture file; empty: the file is not there
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    const QByteArray whole = captureBytes(trackCapture());
    const QByteArray consolesOnly = captureBytes({trackCapture().at(2), trackCapture().at(4), trackCapture().at(6)});

    QTest::newRow("missing") << QByteArray() << QStringList{} << QStringLiteral("No such file");
    QTest::newRow("not a capture") << QByteArray("GLOBALRPMLIMIT:3000,-1\n") << QStringList{}
                                   << QStringLiteral("not a pcap or pcapng capture");
    QTest::newRow("cut in its header") << whole.left(10) << QStringList{} << QStringLiteral("truncated");
    QTest::newRow("cut in a packet") << whole.left(whole.size() - 5) << QStringList{} << QStringLiteral("truncated");
    QTest::newRow("no status frames") << consolesOnly << QStringList{}
                                      << QStringLiteral("no relay traffic in .*: none of its 3 datagrams");
    QTest::newRow("nothing from the named relay")
        << whole << QStringList{QStringLiteral("--replay-source"), QStringLiteral("10.0.0.99")}
        << QStringLiteral("no relay traffic in .*: nothing from 10.0.0.99");
    QTest::newRow("zero speed") << whole << QStringList{QStringLiteral("--speed"), QStringLiteral("0")}
                                << QStringLiteral("--speed wants");
    QTest::newRow("karts of its own") << whole << QStringList{QStringLiteral("--karts"), QStringLiteral("3")}
                                      << QStringLiteral("--karts does not go with it");
}

void CaptureReplayTest::refusesWhatItCannotReplay() {
    QFETCH(QByteArray, content);
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    QFile::remove(m_capture);
    if (!content.isEmpty()) {
        QFile file(m_capture);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    QProcess process;
    process.start(QStringLiteral(RETRANSLATOR_SIM), QStringList{QStringLiteral("--replay"), m_capture,
                                                                QStringLiteral("--to"), QStringLiteral("127.0.0.1")} +
                                                        arguments);
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitCode(), 2);
    const QString error = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(QRegularExpression(message).match(error).hasMatch(), qPrintable(error));
    QVERIFY(m_received.isEmpty());
}

QTEST_GUILESS_MAIN(CaptureReplayTest)
#include "tst_capturereplay.moc"
