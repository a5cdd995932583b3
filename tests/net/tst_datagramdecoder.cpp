#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QtTest>

#include "frames.h"
#include "net/datagramdecoder.h"
#include "recordinghandler.h"
#include "referencedecoder.h"

using namespace TestFrames;

namespace {

QStringList decode(const QByteArray &datagram) {
    RecordingHandler handler;
    decodeDatagram(datagram.constData(), datagram.size(), handler);
    return handler.events;
}

QStringList decodeByReference(const QByteArray &datagram) {
    RecordingHandler handler;
    referenceDecode(datagram, handler);
    return handler.events;
}

// Random datagrams built from the pieces that matter to the decoder: frames, markers, JSON, zeros, pings.
QByteArray randomDatagram(QRandomGenerator &random) {
    static const QByteArray pieces[] = {
        QByteArray::fromHex("aa55"),
        QByteArray::fromHex("dead"),
        QByteArray::fromHex("aa"),
        QByteArray(1, '\0'),
        QByteArray("RERADOZ"),
        QByteArray("{\"appCommand\":\"globalRpmLimit\",\"value\":\"p25\"}"),
        QByteArray("{\"value\":1}"),
        QByteArray("[1,2]"),
        QByteArray(" \t\r\n"),
        QByteArray("{"),
        QByteArray("\xEF\xBB\xBF"),
        QByteArray("\xFF\xC3"),
        QByteArray("GLOBALRPMLIMIT:5000,-1"),
    };
    QByteArray datagram;
    const int pieceCount = random.bounded(1, 8);
    for (int i = 0; i < pieceCount; ++i) {
        switch (random.bounded(6)) {
            case 0:
                datagram += transponderFrame(quint16(random.bounded(65536)), quint16(random.bounded(65536)),
                                             quint16(random.bounded(65536)), qint8(random.bounded(256) - 128),
                                             quint8(random.bounded(3)));
                break;
            case 1: datagram += statusFrame(quint16(random.bounded(65536)), quint8(random.bounded(3, 6))); break;
            case 2: {
                QByteArray frame = random.bounded(2) ? transponderFrame(7, 8, 9, 10) : statusFrame(10000);
                datagram += frame.left(random.bounded(frame.size()));
                break;
            }
            case 3: {
                QByteArray noise(random.bounded(1, 40), Qt::Uninitialized);
                for (char &byte : noise)
                    byte = char(random.bounded(256));
                datagram += noise;
                break;
            }
            default: datagram += pieces[random.bounded(int(std::size(pieces)))];
        }
    }
    return datagram;
}

// Long datagrams dense with marker bytes and whole frames at any offset, so that start markers fall on every
// position of the decoder's wide (vector) search blocks and straddle their edges.
QByteArray randomLongDatagram(QRandomGenerator &random) {
    static const char alphabet[] = {char(0xAA), char(0x55), char(0xDE), char(0xAD), 0x11};
    QByteArray datagram(random.bounded(2, 4097), Qt::Uninitialized);
    for (char &byte : datagram)
        byte = random.bounded(4) ? alphabet[random.bounded(int(sizeof(alphabet)))] : char(random.bounded(256));
    const int frames = random.bounded(8);
    for (int i = 0; i < frames; ++i) {
        const QByteArray frame = random.bounded(2) ? transponderFrame(quint16(random.bounded(65536)), 8000, 10000, -60)
                                                   : statusFrame(quint16(random.bounded(65536)));
        const int at = random.bounded(datagram.size());
        datagram.replace(at, qMin(frame.size(), datagram.size() - at), frame.left(datagram.size() - at));
    }
    return datagram;
}

}  // namespace

class DatagramDecoderTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("zadar.net.debug=false")); }

    void decodes_data();
    void decodes();
    void neverReadsPastTheDatagram();
    void agreesWithReferenceDecoderOnRandomDatagrams();
    void agreesWithReferenceDecoderOnLongDatagrams();
    void agreesWithReferenceDecoderOnFuzzCorpus();
    void agreesWithReferenceDecoderWithDebugLogging();
};

void DatagramDecoderTest::decodes_data() {
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QStringList>("expected");

    const QByteArray first = transponderFrame(1234, 8000, 10000, -60);
    const QByteArray second = transponderFrame(7, 3500, 2300, 12);
    QTest::newRow("discovery ping") << QByteArray("RERADOZ") << QStringList();
    QTest::newRow("global limit command") << QByteArray("GLOBALRPMLIMIT:5000,-1") << QStringList();
    QTest::newRow("transponder limit command") << QByteArray("TRANSPONDERRPMLIMIT:1234,2500") << QStringList();
    QTest::newRow("two transponder frames in order")
        << first + second << QStringList{"transponder 1234 8000 10000 -60", "transponder 7 3500 2300 12"};
    QTest::newRow("status before transponders")
        << statusFrame(5000) + first + second
        << QStringList{"status 5000", "transponder 1234 8000 10000 -60", "transponder 7 3500 2300 12"};
    QTest::newRow("stray bytes before a frame")
        << QByteArray::fromHex("0155aa") + first << QStringList{"transponder 1234 8000 10000 -60"};
    QTest::newRow("rssi sign-extended, id zero-extended")
        << transponderFrame(0xFFFF, 0xFFFF, 0x8000, qint8(0xC4)) << QStringList{"transponder 65535 65535 32768 -60"};

    // A 23-byte frame of another type hides a status frame at offset 3: skipping it whole never sees it.
    QByteArray otherType = transponderFrame(0, 0, 0, 0, 2);
    otherType[3] = char(0xAA);
    otherType[4] = char(0x55);
    otherType[5] = char(4);
    QTest::newRow("23-byte frame of type 2 skipped whole")
        << otherType + second << QStringList{"transponder 7 3500 2300 12"};
    QTest::newRow("20-byte frame of type 3 skipped")
        << statusFrame(5000, 3) + second << QStringList{"transponder 7 3500 2300 12"};
    QTest::newRow("truncated transponder frame") << first.left(22) << QStringList();

    QByteArray endMarkerAt18 = first;
    endMarkerAt18[18] = char(0xDE);
    endMarkerAt18[19] = char(0xAD);
    QTest::newRow("end marker at 18 makes a 20-byte frame") << endMarkerAt18 << QStringList();
    QByteArray statusWithLateEnd = endMarkerAt18;
    statusWithLateEnd[2] = char(4);
    statusWithLateEnd[10] = char(0x34);
    statusWithLateEnd[11] = char(0x12);
    QTest::newRow("20-byte test comes before the 23-byte test")
        << statusWithLateEnd << QStringList{QStringLiteral("status %1").arg(0x1234)};

    QTest::newRow("application command") << QByteArray("{\"appCommand\":\"globalRpmLimit\",\"value\":\"p25\"}")
                                         << QStringList{
                                                "command {\"appCommand\":\"globalRpmLimit\",\"value\":\"p25\"}"};
    QTest::newRow("application command with null")
        << QByteArray(" {\"appCommand\":null}") << QStringList{"command {\"appCommand\":null}"};
    QTest::newRow("object without appCommand dropped") << QByteArray("{\"value\":\"p25\"}") << QStringList();
    QTest::newRow("frames after a JSON object's zero byte are never scanned")
        << QByteArray("{\"value\":1}") + QByteArray(1, '\0') + first << QStringList();
    QTest::newRow("command with frames after its zero byte")
        << QByteArray("{\"appCommand\":1}") + QByteArray(1, '\0') + first << QStringList{"command {\"appCommand\":1}"};
    QTest::newRow("JSON array goes through the frame scan")
        << QByteArray("[1,2]") + first << QStringList{"transponder 1234 8000 10000 -60"};
    QTest::newRow("invalid UTF-8 inside a command")
        << QByteArray("{\"appCommand\":\"\xFF\"}") << QStringList{"command {\"appCommand\":\"\xEF\xBF\xBD\"}"};
    QTest::newRow("only zero bytes") << QByteArray(64, '\0') << QStringList();
}

void DatagramDecoderTest::decodes() {
    QFETCH(QByteArray, datagram);
    QFETCH(QStringList, expected);
    QCOMPARE(decode(datagram), expected);
    QCOMPARE(decodeByReference(datagram), expected);
}

// The receive buffer is reused: what lies beyond the current datagram is left over from a longer one.
void DatagramDecoderTest::neverReadsPastTheDatagram() {
    const QByteArray stale = transponderFrame(1234, 8000, 10000, -60);
    RecordingHandler handler;
    decodeDatagram(stale.constData(), 10, handler);
    QCOMPARE(handler.events, QStringList());

    const QByteArray status = statusFrame(5000);
    decodeDatagram(status.constData(), 19, handler);
    QCOMPARE(handler.events, QStringList());
}

void DatagramDecoderTest::agreesWithReferenceDecoderOnRandomDatagrams() {
    QRandomGenerator random(20261207);
    for (int i = 0; i < 20000; ++i) {
        const QByteArray datagram = randomDatagram(random);
        const QStringList expected = decodeByReference(datagram);
        if (decode(datagram) != expected)
            QFAIL(qPrintable(
                QStringLiteral("datagram %1 decodes differently").arg(QString::fromLatin1(datagram.toHex()))));
    }
}

void DatagramDecoderTest::agreesWithReferenceDecoderOnLongDatagrams() {
    QRandomGenerator random(1109);
    int frames = 0;
    for (int i = 0; i < 3000; ++i) {
        const QByteArray datagram = randomLongDatagram(random);
        const QStringList expected = decodeByReference(datagram);
        frames += expected.size();
        if (decode(datagram) != expected)
            QFAIL(qPrintable(
                QStringLiteral("datagram %1 decodes differently").arg(QString::fromLatin1(datagram.toHex()))));
    }
    QVERIFY(frames > 3000);  // the datagrams do hold frames to find
}

// The fuzz target's corpus and any regression inputs: datagrams chosen for the paths they reach.
void DatagramDecoderTest::agreesWithReferenceDecoderOnFuzzCorpus() {
    int checked = 0;
    for (const char *folder : {"corpus", "regressions"}) {
        const QDir dir(QStringLiteral(DEVIV_FUZZ_DIR "/%1/fuzz_datagram_decoder").arg(QLatin1String(folder)));
        const QStringList names = dir.entryList(QDir::Files);
        for (const QString &name : names) {
            QFile file(dir.filePath(name));
            QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
            const QByteArray datagram = file.readAll();
            if (datagram.isEmpty())
                continue;  // a datagram of length 0 is never decoded
            QCOMPARE(decode(datagram), decodeByReference(datagram));
            ++checked;
        }
    }
    QVERIFY2(checked > 0, "no fuzz corpus found under " DEVIV_FUZZ_DIR);
}

// Logging builds the text of every datagram; that path must report the same as the fast one.
void DatagramDecoderTest::agreesWithReferenceDecoderWithDebugLogging() {
    QLoggingCategory::setFilterRules(QStringLiteral("zadar.net.debug=true"));
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    QRandomGenerator random(7);
    bool allAgree = true;
    for (int i = 0; i < 2000; ++i) {
        const QByteArray datagram = randomDatagram(random);
        allAgree = allAgree && decode(datagram) == decodeByReference(datagram);
    }
    qInstallMessageHandler(nullptr);
    QLoggingCategory::setFilterRules(QStringLiteral("zadar.net.debug=false"));
    QVERIFY(allAgree);
}

QTEST_GUILESS_MAIN(DatagramDecoderTest)
#include "tst_datagramdecoder.moc"
