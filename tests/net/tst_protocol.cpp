#include <QLoggingCategory>
#include <QtTest>

#include "net/datagramdecoder.h"
#include "net/protocol.h"

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

// The frames and commands as bytes on the wire, and the frames read back by the console's decoder.
class ProtocolTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void framesHaveTheirLayout();
    void transponderFrameDecodes_data();
    void transponderFrameDecodes();
    void statusFrameDecodes_data();
    void statusFrameDecodes();
    void packedFramesDecodeInOrder();
    void commandsReadBackAsBuilt_data();
    void commandsReadBackAsBuilt();
};

void ProtocolTest::initTestCase() {
    // The decoder logs every datagram and frame marker; that would drown the test's own output.
    QLoggingCategory::setFilterRules(QStringLiteral("zadar.net.debug=false"));
}

void ProtocolTest::framesHaveTheirLayout() {
    QCOMPARE(Protocol::statusFrame(0x1234).toHex(), QByteArray("aa5504000000000000003412000000000000dead"));
    QCOMPARE(Protocol::transponderFrame(0x1234, 0x5678, 0x9abc, -60).toHex(),
             QByteArray("aa550134127856bc9a000000c40000000000000000dead"));
    QCOMPARE(QByteArray(Protocol::discoveryWord), QByteArray("RERADOZ"));
    QCOMPARE(Protocol::exchangePort, quint16(11309));
}

void ProtocolTest::transponderFrameDecodes_data() {
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

void ProtocolTest::transponderFrameDecodes() {
    QFETCH(int, id);
    QFETCH(int, rpm);
    QFETCH(int, limit);
    QFETCH(int, rssi);

    const QByteArray frame = Protocol::transponderFrame(quint16(id), quint16(rpm), quint16(limit), qint8(rssi));
    QCOMPARE(frame.size(), Protocol::transponderFrameSize);
    const Collector found = decode(frame);
    QVERIFY(found.statusLimits.isEmpty());
    QVERIFY(found.commands.isEmpty());
    QCOMPARE(found.transponders.size(), 1);
    QCOMPARE(found.transponders[0].transponderId, id);
    QCOMPARE(found.transponders[0].rpmValue, rpm);
    QCOMPARE(found.transponders[0].limitValue, limit);
    QCOMPARE(found.transponders[0].rssiValue, rssi);
}

void ProtocolTest::statusFrameDecodes_data() {
    QTest::addColumn<int>("globalLimit");
    QTest::newRow("no limit") << 10000;
    QTest::newRow("50%") << 3000;
    QTest::newRow("stop") << 0;
    QTest::newRow("largest") << 65535;
    QTest::newRow("marker-like") << 0xADDE;
}

void ProtocolTest::statusFrameDecodes() {
    QFETCH(int, globalLimit);
    const QByteArray frame = Protocol::statusFrame(quint16(globalLimit));
    QCOMPARE(frame.size(), Protocol::statusFrameSize);
    const Collector found = decode(frame);
    QVERIFY(found.transponders.isEmpty());
    QCOMPARE(found.statusLimits, QList<quint16>{quint16(globalLimit)});
}

void ProtocolTest::packedFramesDecodeInOrder() {
    // What a relay packs into one datagram: a status frame, then several karts.
    QByteArray datagram = Protocol::statusFrame(5000);
    QList<int> ids;
    for (int i = 0; i < 40; ++i) {
        const int id = 0xADDE + i;
        ids << id;
        datagram += Protocol::transponderFrame(quint16(id), quint16(100 * i), 5000, qint8(-40 - i));
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

void ProtocolTest::commandsReadBackAsBuilt_data() {
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("global");
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("second");

    QTest::newRow("global") << Protocol::globalLimitCommand(5000) << QByteArray("GLOBALRPMLIMIT:5000,-1") << true
                            << qint64(5000) << qint64(-1);
    QTest::newRow("global stop") << Protocol::globalLimitCommand(0) << QByteArray("GLOBALRPMLIMIT:0,-1") << true
                                 << qint64(0) << qint64(-1);
    QTest::newRow("one transponder") << Protocol::transponderLimitCommand(1234, 2500)
                                     << QByteArray("TRANSPONDERRPMLIMIT:1234,2500") << false << qint64(1234)
                                     << qint64(2500);
    QTest::newRow("negative fields") << Protocol::transponderLimitCommand(-7, -1)
                                     << QByteArray("TRANSPONDERRPMLIMIT:-7,-1") << false << qint64(-7) << qint64(-1);
    QTest::newRow("widest fields") << Protocol::transponderLimitCommand(INT_MIN, INT_MAX)
                                   << QByteArray("TRANSPONDERRPMLIMIT:-2147483648,2147483647") << false
                                   << qint64(INT_MIN) << qint64(INT_MAX);
}

void ProtocolTest::commandsReadBackAsBuilt() {
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, text);
    QFETCH(bool, global);
    QFETCH(qint64, first);
    QFETCH(qint64, second);

    QCOMPARE(command, text);
    const std::optional<Protocol::LimitCommand> parsed = Protocol::parseLimitCommand(command);
    QVERIFY(parsed);
    QVERIFY(parsed->hasNumbers);
    QCOMPARE(parsed->kind == Protocol::LimitCommand::Kind::GlobalLimit, global);
    QCOMPARE(parsed->first, first);
    QCOMPARE(parsed->second, second);
    // The console's own commands are no frames and no application commands.
    const Collector found = decode(command);
    QVERIFY(found.commands.isEmpty() && found.statusLimits.isEmpty() && found.transponders.isEmpty());
}

QTEST_GUILESS_MAIN(ProtocolTest)
#include "tst_protocol.moc"
