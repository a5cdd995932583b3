#include <QtTest>

#include "kartmodel.h"
#include "net/datagramdecoder.h"
#include "simprotocol.h"

namespace {

// Collects what the console's decoder finds in a datagram.
class Collector final : public DatagramHandler {
public:
    void applicationCommand(const QJsonObject &command) override { commands << command; }
    void statusFrame(quint16 globalRpmLimit) override { statusLimits << globalRpmLimit; }
    void transponderFrame(const TransponderState &state) override { transponders << state; }

    QList<QJsonObject> commands;
    QList<quint16> statusLimits;
    QList<TransponderState> transponders;
};

Collector decode(const QByteArray &datagram) {
    Collector collector;
    decodeDatagram(datagram.constData(), datagram.size(), collector);
    return collector;
}

}  // namespace

// The simulator's frames and command parsing, checked against the console's own decoder and command texts.
class SimProtocolTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void transponderFrameDecodes_data();
    void transponderFrameDecodes();
    void statusFrameDecodes_data();
    void statusFrameDecodes();
    void packedFramesDecodeInOrder();
    void parsesWhatConsolesSend_data();
    void parsesWhatConsolesSend();
    void rejectsMalformedDatagrams_data();
    void rejectsMalformedDatagrams();
    void printableEscapesBytes();
    void rpmNeverExceedsTheLimit_data();
    void rpmNeverExceedsTheLimit();
    void readingsFollowTheLap();
};

void SimProtocolTest::transponderFrameDecodes_data() {
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("rpm");
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("rssi");

    QTest::newRow("typical") << 1001 << 8450 << 10000 << -63;
    QTest::newRow("zeros") << 0 << 0 << 0 << 0;
    QTest::newRow("largest unsigned fields") << 65535 << 65535 << 65535 << 127;
    QTest::newRow("weakest signal") << 7 << 2250 << 2300 << -128;
    // Fields whose bytes look like markers must not confuse the frame boundaries.
    QTest::newRow("marker-like bytes") << 0x55AA << 0xADDE << 0x55AA << -34;
    QTest::newRow("end marker as id") << 0xADDE << 0xADDE << 0xADDE << -1;
}

void SimProtocolTest::transponderFrameDecodes() {
    QFETCH(int, id);
    QFETCH(int, rpm);
    QFETCH(int, limit);
    QFETCH(int, rssi);

    const QByteArray frame = SimProtocol::transponderFrame({quint16(id), quint16(rpm), quint16(limit), qint8(rssi)});
    QCOMPARE(frame.size(), SimProtocol::transponderFrameSize);
    const Collector found = decode(frame);
    QVERIFY(found.statusLimits.isEmpty());
    QVERIFY(found.commands.isEmpty());
    QCOMPARE(found.transponders.size(), 1);
    QCOMPARE(found.transponders[0].transponderId, id);
    QCOMPARE(found.transponders[0].rpmValue, rpm);
    QCOMPARE(found.transponders[0].limitValue, limit);
    QCOMPARE(found.transponders[0].rssiValue, rssi);
}

void SimProtocolTest::statusFrameDecodes_data() {
    QTest::addColumn<int>("globalLimit");
    QTest::newRow("no limit") << 10000;
    QTest::newRow("50%") << 3000;
    QTest::newRow("stop") << 0;
    QTest::newRow("largest") << 65535;
    QTest::newRow("marker-like") << 0xADDE;
}

void SimProtocolTest::statusFrameDecodes() {
    QFETCH(int, globalLimit);
    const QByteArray frame = SimProtocol::statusFrame(quint16(globalLimit));
    QCOMPARE(frame.size(), SimProtocol::statusFrameSize);
    const Collector found = decode(frame);
    QVERIFY(found.transponders.isEmpty());
    QCOMPARE(found.statusLimits, QList<quint16>{quint16(globalLimit)});
}

void SimProtocolTest::packedFramesDecodeInOrder() {
    // What --pack sends: a status frame, then several karts, in one datagram.
    QByteArray datagram = SimProtocol::statusFrame(5000);
    QList<int> ids;
    for (int i = 0; i < 40; ++i) {
        const int id = 0xADDE + i;
        ids << id;
        datagram += SimProtocol::transponderFrame({quint16(id), quint16(100 * i), 5000, qint8(-40 - i)});
    }
    const Collector found = decode(datagram);
    QCOMPARE(found.statusLimits, QList<quint16>{5000});
    QList<int> foundIds;
    for (const TransponderState &state : found.transponders) {
        foundIds << state.transponderId;
        QCOMPARE(state.rpmValue, 100 * (state.transponderId - 0xADDE));
        QCOMPARE(state.rssiValue, -40 - (state.transponderId - 0xADDE));
    }
    QCOMPARE(foundIds, ids);
}

void SimProtocolTest::parsesWhatConsolesSend_data() {
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("kind");
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("second");

    using K = SimProtocol::DatagramKind;
    // Built the way the console builds its commands.
    const auto global = [](int limit) { return QStringLiteral("GLOBALRPMLIMIT:%1,%2").arg(limit).arg(-1).toUtf8(); };
    const auto single = [](int id, int limit) {
        return QStringLiteral("TRANSPONDERRPMLIMIT:%1,%2").arg(id).arg(limit).toUtf8();
    };
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
    QTest::newRow("another relay's status")
        << SimProtocol::statusFrame(3000) << int(K::Frames) << qint64(0) << qint64(0);
    QTest::newRow("another relay's kart")
        << SimProtocol::transponderFrame({1, 2, 3, -4}) << int(K::Frames) << qint64(0) << qint64(0);
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

void SimProtocolTest::initTestCase() {
    // The decoder logs every datagram and frame marker; that would drown the test's own output.
    QLoggingCategory::setFilterRules(QStringLiteral("zadar.net.debug=false"));
}

QTEST_GUILESS_MAIN(SimProtocolTest)
#include "tst_simprotocol.moc"
