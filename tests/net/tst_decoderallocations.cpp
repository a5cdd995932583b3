#include <QLoggingCategory>
#include <QtTest>

#include "countingnew.h"
#include "frames.h"
#include "net/datagramdecoder.h"

namespace {

class CountingHandler final : public DatagramHandler {
public:
    void applicationCommand(const QJsonObject &) override { ++commands; }
    void statusFrame(quint16) override { ++statuses; }
    void transponderFrame(const TransponderState &) override { ++transponders; }
    int commands = 0;
    int statuses = 0;
    int transponders = 0;
};

}  // namespace

class DecoderAllocationsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("zadar.net.debug=false")); }

    void binaryFramesAllocateNothing_data() {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<int>("transponders");
        QTest::newRow("one transponder frame") << TestFrames::transponderFrame(1, 2, 3, 4) << 1;
        QTest::newRow("status and transponders")
            << TestFrames::statusFrame(10000) + TestFrames::transponderFrame(1, 2, 3, 4).repeated(100) << 100;
        QByteArray noise(65536, '\x5a');
        for (int i = 0; i < noise.size(); i += 97)
            noise[i] = char(0xAA);
        QTest::newRow("64 KiB of noise with stray start bytes") << noise << 0;
        QTest::newRow("discovery ping") << QByteArray("RERADOZ") << 0;
        QTest::newRow("text command") << QByteArray("TRANSPONDERRPMLIMIT:1234,2500") << 0;
    }

    void binaryFramesAllocateNothing() {
        QFETCH(QByteArray, datagram);
        QFETCH(int, transponders);
        CountingHandler handler;
        decodeDatagram(datagram.constData(), datagram.size(), handler);  // first use sets up the log category
        handler.transponders = 0;
        const long before = CountingNew::processAllocations.load();
        for (int i = 0; i < 100; ++i)
            decodeDatagram(datagram.constData(), datagram.size(), handler);
        const long allocated = CountingNew::processAllocations.load() - before;
        QCOMPARE(handler.transponders, 100 * transponders);
        QCOMPARE(allocated, 0L);
    }

    // The counter itself works: a datagram that may be JSON is parsed, which allocates.
    void jsonDatagramsAreParsed() {
        const QByteArray command("{\"appCommand\":\"globalRpmLimit\",\"value\":\"p25\"}");
        CountingHandler handler;
        const long before = CountingNew::processAllocations.load();
        decodeDatagram(command.constData(), command.size(), handler);
        QVERIFY(CountingNew::processAllocations.load() > before);
        QCOMPARE(handler.commands, 1);
    }
};

QTEST_GUILESS_MAIN(DecoderAllocationsTest)
#include "tst_decoderallocations.moc"
