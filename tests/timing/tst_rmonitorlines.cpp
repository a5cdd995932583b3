#include <QtTest>

#include "timing/linereader.h"
#include "timing/rmonitorparser.h"

// Bytes from a timing system through the line reader and the parser, whole and in pieces of every size a socket
// might deliver.
namespace {

QByteArray heartbeat(const QByteArray &flagField, const QByteArray &timeOfDay = "13:34:23") {
    return "$F,14,\"00:12:45\",\"" + timeOfDay + "\",\"00:09:47\",\"" + flagField + "\"\r\n";
}

QString summary(const RMonitorRecord &record) {
    switch (record.kind) {
        case RMonitorRecord::Kind::Heartbeat:
            return "flag " + (record.flag == RaceFlag::None ? "none" : raceFlagName(record.flag)) + " at " +
                   record.timeOfDay;
        case RMonitorRecord::Kind::BadFlag: return "bad flag \"" + record.text + "\"";
        case RMonitorRecord::Kind::Init: return "init";
        case RMonitorRecord::Kind::RunName: return "run " + record.text;
        case RMonitorRecord::Kind::Other: break;
    }
    return "other";
}

}  // namespace

class RMonitorLinesTest : public QObject {
    Q_OBJECT

private slots:
    void linesReadAsTheConsoleTakesThem_data();
    void linesReadAsTheConsoleTakesThem();
};

void RMonitorLinesTest::linesReadAsTheConsoleTakesThem_data() {
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<int>("dropped");

    QTest::newRow("padded flags in any case")
        << heartbeat("Green ") + heartbeat("YELLOW") + heartbeat("Red   ") + heartbeat("fInIsH") +
               heartbeat("      ", "13:34:24")
        << QStringList{"flag green at 13:34:23", "flag yellow at 13:34:23", "flag red at 13:34:23",
                       "flag finish at 13:34:23", "flag none at 13:34:24"}
        << 0;
    QTest::newRow("short, long, unknown, missing flag fields")
        << heartbeat("Green") + heartbeat("Green  ") + heartbeat("Blue  ") + heartbeat("") + "$F,14,\"00:12:45\"\r\n"
        << QStringList{"bad flag \"Green\"", "bad flag \"Green  \"", "bad flag \"Blue  \"", "bad flag \"\"",
                       "bad flag \"\""}
        << 0;
    QTest::newRow("quoted commas") << QByteArray(
                                          "$B,5,\"Heat 1, Final\"\r\n$F,14,\"a,b\",\"13:34:23\",\"0\",\"Red   \"\r\n")
                                   << QStringList{"run Heat 1, Final", "flag red at 13:34:23"} << 0;
    QTest::newRow("Windows-1252 names") << QByteArray(
                                               "$B,1,\"Finale \xDC"
                                               "ber 125 \x96 M\xFCller, S\xE9verine\"\r\n")
                                        << QStringList{QString::fromUtf8("run Finale Über 125 – Müller, Séverine")}
                                        << 0;
    QTest::newRow("records the console does not use")
        << QByteArray(
               "$I,\"16:36:08.000\",\"12 jan 26\"\r\n$A,\"12\",\"12\",52474,\"Ana\",\"Horvat\",\"CRO\",1\r\n"
               "$COMP,\"12\",\"12\",1,\"Ana\",\"Horvat\",\"CRO\",\"\"\r\n$G,3,\"12\",14,\"01:12:47.872\"\r\n"
               "$H,2,\"12\",3,\"00:02:03.826\"\r\n$J,\"12\",\"00:02:03.826\",\"01:42:17.672\"\r\n"
               "$Z,1\r\nF,Green\r\n\r\n$F\r\n")
        << QStringList{"init", "other", "other", "other", "other", "other", "other", "other", "other", "other"} << 0;
    QTest::newRow("bare LF") << QByteArray("$B,2,\"Practice\"\n$F,0,\"\",\"10:00:00\",\"\",\"Green \"\n$I,\"x\"\r\n")
                             << QStringList{"run Practice", "flag green at 10:00:00", "init"} << 0;
    QTest::newRow("NUL and binary bytes")
        << heartbeat(QByteArray("Gr\0en ", 6)) + QByteArray("\0\xFF\xFE$F,\r\x80\r\n", 10) + heartbeat("Green ")
        << QStringList{QString("bad flag \"Gr") + QChar(0) + "en \"", "other", "flag green at 13:34:23"} << 0;
    const QByteArray longest = "$Z," + QByteArray(LineReader::maxLineBytes - 3, 'x');
    QTest::newRow("over-long lines dropped to their end")
        << QByteArray(5000, 'x') + "\r\n" + heartbeat("Green ") + longest + "\r\n" + longest + "y\n" + longest +
               "yy\r\n" + heartbeat("Red   ")
        << QStringList{"flag green at 13:34:23", "other", "flag red at 13:34:23"} << 3;
}

void RMonitorLinesTest::linesReadAsTheConsoleTakesThem() {
    QFETCH(QByteArray, stream);
    QFETCH(QStringList, records);
    QFETCH(int, dropped);
    for (const qint64 piece : {qint64(stream.size()), qint64(1), qint64(7), qint64(4097)}) {
        LineReader reader;
        QStringList read;
        QByteArray line;
        for (qint64 at = 0; at < stream.size(); at += piece) {
            const char *data = stream.constData() + at;
            qint64 size = qMin(piece, stream.size() - at);
            while (reader.nextLine(data, size, line))
                read << summary(parseRMonitorLine(line));
        }
        QCOMPARE(read, records);
        QCOMPARE(reader.droppedLines(), dropped);
    }
}

QTEST_APPLESS_MAIN(RMonitorLinesTest)
#include "tst_rmonitorlines.moc"
