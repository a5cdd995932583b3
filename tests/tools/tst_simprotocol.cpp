#include <QtTest>

#include "kartmodel.h"
#include "net/protocol.h"
#include "simprotocol.h"

// How the simulator takes what it receives, checked against the console's own commands; and its kart model.
class SimProtocolTest : public QObject {
    Q_OBJECT

private slots:
    void parsesWhatConsolesSend_data();
    void parsesWhatConsolesSend();
    void rejectsMalformedDatagrams_data();
    void rejectsMalformedDatagrams();
    void printableEscapesBytes();
    void rpmNeverExceedsTheLimit_data();
    void rpmNeverExceedsTheLimit();
    void readingsFollowTheLap();
};

void SimProtocolTest::parsesWhatConsolesSend_data() {
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("kind");
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("second");

    using K = SimProtocol::DatagramKind;
    // Built by the console's own command builders.
    const auto global = Protocol::globalLimitCommand;
    const auto single = Protocol::transponderLimitCommand;
    QTest::newRow("global 50%") << global(3000) << int(K::GlobalLimit) << qint64(3000) << qint64(-1);
    QTest::newRow("global stop") << global(0) << int(K::GlobalLimit) << qint64(0) << qint64(-1);
    QTest::newRow("global 100%") << global(10000) << int(K::GlobalLimit) << qint64(10000) << qint64(-1);
    QTest::newRow("global, other second field")
        << QByteArray("GLOBALRPMLIMIT:2300,7") << int(K::GlobalLimit) << qint64(2300) << qint64(7);
    QTest::newRow("one kart") << single(1234, 2500) << int(K::TransponderLimit) << qint64(1234) << qint64(2500);
    QTest::newRow("highest id") << single(65535, 0) << int(K::TransponderLimit) << qint64(65535) << qint64(0);
    QTest::newRow("ping") << QByteArray("RERADOZ") << int(K::Ping) << qint64(0) << qint64(0);
    QTest::newRow("global app command") << QByteArray(R"({"appCommand":"globalRpmLimit","value":"p50"})")
                                        << int(K::AppCommand) << qint64(0) << qint64(0);
    QTest::newRow("kart app command") << QByteArray(
                                             R"({"appCommand":"transponderLimit","transponderId":1234,"value":"p0"})")
                                      << int(K::AppCommand) << qint64(0) << qint64(0);
    QTest::newRow("another relay's status") << Protocol::statusFrame(3000) << int(K::Frames) << qint64(0) << qint64(0);
    QTest::newRow("another relay's kart")
        << Protocol::transponderFrame(1, 2, 3, -4) << int(K::Frames) << qint64(0) << qint64(0);
}

void SimProtocolTest::parsesWhatConsolesSend() {
    QFETCH(QByteArray, datagram);
    QFETCH(int, kind);
    QFETCH(qint64, first);
    QFETCH(qint64, second);

    const SimProtocol::ReceivedDatagram parsed = SimProtocol::parseDatagram(datagram);
    QCOMPARE(int(parsed.kind), kind);
    QVERIFY(parsed.reason.isEmpty());
    if (parsed.kind == SimProtocol::DatagramKind::GlobalLimit ||
        parsed.kind == SimProtocol::DatagramKind::TransponderLimit) {
        QCOMPARE(parsed.first, first);
        QCOMPARE(parsed.second, second);
    }
}

void SimProtocolTest::rejectsMalformedDatagrams_data() {
    QTest::addColumn<QByteArray>("datagram");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("ping with terminator") << QByteArray("RERADOZ\0", 8);
    QTest::newRow("lower case") << QByteArray("globalrpmlimit:3000,-1");
    QTest::newRow("no second field") << QByteArray("GLOBALRPMLIMIT:3000");
    QTest::newRow("three fields") << QByteArray("GLOBALRPMLIMIT:3000,-1,5");
    QTest::newRow("not a number") << QByteArray("GLOBALRPMLIMIT:abc,-1");
    QTest::newRow("plus sign") << QByteArray("GLOBALRPMLIMIT:+3000,-1");
    QTest::newRow("spaces") << QByteArray("GLOBALRPMLIMIT: 3000,-1");
    QTest::newRow("line end") << QByteArray("GLOBALRPMLIMIT:3000,-1\n");
    QTest::newRow("negative global") << QByteArray("GLOBALRPMLIMIT:-1,-1");
    QTest::newRow("global beyond 16 bits") << QByteArray("GLOBALRPMLIMIT:65536,-1");
    QTest::newRow("second beyond 32 bits") << QByteArray("GLOBALRPMLIMIT:3000,2147483648");
    QTest::newRow("id beyond 16 bits") << QByteArray("TRANSPONDERRPMLIMIT:65536,2300");
    QTest::newRow("negative kart limit") << QByteArray("TRANSPONDERRPMLIMIT:1001,-1");
    QTest::newRow("digits overflow") << QByteArray("TRANSPONDERRPMLIMIT:99999999999,1");
    QTest::newRow("JSON array") << QByteArray("[1,2]");
    QTest::newRow("broken JSON") << QByteArray("{\"appCommand\":");
    QTest::newRow("half a start marker") << QByteArray("\xAA");
}

void SimProtocolTest::rejectsMalformedDatagrams() {
    QFETCH(QByteArray, datagram);
    const SimProtocol::ReceivedDatagram parsed = SimProtocol::parseDatagram(datagram);
    QCOMPARE(int(parsed.kind), int(SimProtocol::DatagramKind::Malformed));
    QVERIFY(!parsed.reason.isEmpty());
    QCOMPARE(SimProtocol::kindName(parsed.kind), QStringLiteral("malformed"));
}

void SimProtocolTest::printableEscapesBytes() {
    QCOMPARE(SimProtocol::printable(QByteArray("A\"b\\\x01\xaa", 6)), QStringLiteral("A\\\"b\\\\\\x01\\xaa"));
    QCOMPARE(SimProtocol::printable(QByteArray(10, 'x'), 4), QStringLiteral("xxxx..."));
}

void SimProtocolTest::rpmNeverExceedsTheLimit_data() {
    QTest::addColumn<int>("limit");
    QTest::newRow("100%") << 10000;
    QTest::newRow("50%") << 3000;
    QTest::newRow("25%") << 2300;
    QTest::newRow("stop") << 0;
    QTest::newRow("tiny") << 50;
    QTest::newRow("above the engine") << 20000;
}

void SimProtocolTest::rpmNeverExceedsTheLimit() {
    QFETCH(int, limit);
    const KartProfile profile;
    int highest = 0;
    for (qint64 ms = 0; ms < 2 * profile.lapMs; ms += 37) {
        for (const double noise : {-1.0, 0.0, 1.0}) {
            const KartReading reading = readKart(profile, ms, limit, noise, noise);
            QVERIFY2(reading.rpm >= 0 && reading.rpm <= limit, qPrintable(QString::number(reading.rpm)));
            highest = qMax(highest, reading.rpm);
        }
    }
    // A limited engine reaches its limiter on the straights; a stopped one stays at 0.
    if (limit == 0)
        QCOMPARE(highest, 0);
    else if (limit < profile.peakRpm)
        QVERIFY(highest >= limit - 120);
    else
        QVERIFY(highest <= profile.peakRpm + 50);
}

void SimProtocolTest::readingsFollowTheLap() {
    KartProfile profile;
    profile.lapMs = 40000;
    int lowestRpm = INT_MAX, highestRpm = 0, lowestRssi = 0, highestRssi = -200;
    for (qint64 ms = 0; ms < profile.lapMs; ms += 100) {
        const KartReading reading = readKart(profile, ms, 10000, 0.0, 0.0);
        lowestRpm = qMin(lowestRpm, reading.rpm);
        highestRpm = qMax(highestRpm, reading.rpm);
        lowestRssi = qMin(lowestRssi, reading.rssiDbm);
        highestRssi = qMax(highestRssi, reading.rssiDbm);
        QVERIFY(reading.rssiDbm <= -30 && reading.rssiDbm >= -110);
    }
    // Corners and straights: several thousand RPM between them; the signal fades across the lap.
    QVERIFY2(highestRpm - lowestRpm > 4000, qPrintable(QStringLiteral("%1..%2").arg(lowestRpm).arg(highestRpm)));
    QVERIFY(lowestRpm >= profile.idleRpm - 200);
    QVERIFY(highestRssi - lowestRssi > 20);
    // The same moment one lap later reads the same.
    QCOMPARE(readKart(profile, 1234, 10000, 0, 0).rpm, readKart(profile, 1234 + profile.lapMs, 10000, 0, 0).rpm);
    QCOMPARE(lapPhase(profile, profile.lapMs / 2), 0.5);
}

QTEST_GUILESS_MAIN(SimProtocolTest)
#include "tst_simprotocol.moc"
