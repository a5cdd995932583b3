#include <QtTest>
#include <thread>

#include "categorylog.h"
#include "control/eventrecord.h"
#include "control/eventrecordwriter.h"

Q_DECLARE_METATYPE(RecordedEvent)

// The event record's day files in a real folder: the writer driven directly with the test's clock, and the record
// with its thread.
namespace {

const QByteArray header = "\xEF\xBB\xBFtime,event,source,kart number,transponder,limit mode,rpm,detail\r\n";

// 2026-12-08 14:03:05.123 at UTC+01:00, plus `ms`.
QDateTime at(qint64 ms = 0, int offsetSecs = 3600) {
    return QDateTime(QDate(2026, 12, 8), QTime(14, 3, 5, 123), Qt::OffsetFromUTC, offsetSecs).addMSecs(ms);
}

RecordedEvent recorded(RecordedEventKind kind, const QString &source, const QDateTime &time,
                       std::optional<int> transponderId = {}, const QString &limitMode = {}) {
    RecordedEvent event(kind, source, {}, transponderId, limitMode);
    event.time = time;
    return event;
}

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The lines after the header, without the time column.
QStringList linesWithoutTime(const QString &path) {
    QStringList lines = QString::fromUtf8(readFile(path).mid(header.size())).split("\r\n", Qt::SkipEmptyParts);
    for (QString &line : lines)
        line = line.section(',', 1);
    return lines;
}

}  // namespace

class EventRecordTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        m_now = at();
        m_writer = std::make_unique<EventRecordWriter>(m_dir->path(), [this] { return m_now; });
    }
    void linesReadBackAsWrittenInASpreadsheet_data();
    void linesReadBackAsWrittenInASpreadsheet();
    void eachLocalDayHasItsFileAndACutLineIsEnded();
    void filesOlderThan90DaysAreRemoved();
    void anUnwritableDayFileWarnsOnceAndTheNextDayIsTried_data();
    void anUnwritableDayFileWarnsOnceAndTheNextDayIsTried();
    void floodsOfCommandsAreCounted();
    void everyEventFromAnyThreadIsOnDisk();

private:
    QString dayFile(const QDate &day = QDate(2026, 12, 8)) const {
        return m_dir->filePath(EventRecordWriter::fileName(day));
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    QDateTime m_now;
    std::unique_ptr<EventRecordWriter> m_writer;
};

void EventRecordTest::linesReadBackAsWrittenInASpreadsheet_data() {
    QTest::addColumn<RecordedEvent>("event");
    QTest::addColumn<QString>("line");
    RecordedEvent full(RecordedEventKind::KartLimit, "192.168.77.21", "12", 1003, "p0", 0, "took 1200 ms");
    full.time = at();
    QTest::newRow("every column") << full
                                  << "2026-12-08T14:03:05.123+01:00,kart-limit,192.168.77.21,12,1003,p0,0,took 1200 ms";
    QTest::newRow("west of UTC") << recorded(RecordedEventKind::ConsoleStarted, "", at(0, -12600))
                                 << "2026-12-08T14:03:05.123-03:30,console-started,,,,,,";
    QTest::newRow("at UTC") << recorded(RecordedEventKind::ConsoleStarted, "", at(0, 0))
                            << "2026-12-08T14:03:05.123+00:00,console-started,,,,,,";
    RecordedEvent text(RecordedEventKind::KartOnAir, "", QStringLiteral("Ж,7"), -5, {}, {}, "said \"hi\"\nand left");
    text.time = at();
    QTest::newRow("UTF-8, separator, quotes, line break")
        << text
        << QStringLiteral("2026-12-08T14:03:05.123+01:00,kart-on-air,,\"Ж,7\",-5,,,\"said \"\"hi\"\"\nand left\"");
    // Texts such as a limit mode can come from another console.
    RecordedEvent formulas(RecordedEventKind::KartOnAir, "=1+2", "-3", {}, "@SUM(A1)");
    formulas.time = at();
    QTest::newRow("texts that look like formulas")
        << formulas << "2026-12-08T14:03:05.123+01:00,kart-on-air,'=1+2,'-3,,'@SUM(A1),,";
}

void EventRecordTest::linesReadBackAsWrittenInASpreadsheet() {
    QFETCH(RecordedEvent, event);
    QFETCH(QString, line);
    m_writer->write(event);
    QCOMPARE(readFile(dayFile()), header + line.toUtf8() + "\r\n");
}

void EventRecordTest::eachLocalDayHasItsFileAndACutLineIsEnded() {
    QFile cut(dayFile(QDate(2026, 12, 9)));  // a crash in the middle of a line
    QVERIFY(cut.open(QIODevice::WriteOnly));
    cut.write(header + "2026-12-09T00:00");
    cut.close();
    const QDateTime midnight(QDate(2026, 12, 9), QTime(0, 0), Qt::OffsetFromUTC, 3600);
    m_writer->write(recorded(RecordedEventKind::KartSilent, "", midnight.addMSecs(-1), 1));
    m_writer->write(recorded(RecordedEventKind::KartBack, "", midnight, 1));
    QCOMPARE(readFile(dayFile()), header + "2026-12-08T23:59:59.999+01:00,kart-silent,,,1,,,\r\n");
    QCOMPARE(readFile(dayFile(midnight.date())),
             header + "2026-12-09T00:00\r\n2026-12-09T00:00:00.000+01:00,kart-back,,,1,,,\r\n");
}

void EventRecordTest::filesOlderThan90DaysAreRemoved() {
    const QDate today = m_now.date();
    QStringList kept{EventRecordWriter::fileName(today.addDays(-90)), "events-2026-13-45.csv", "notes.csv"};
    for (const QString &name : kept + QStringList{EventRecordWriter::fileName(today.addDays(-91))}) {
        QFile file(m_dir->filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    m_writer->removeOldFiles();
    kept.sort();
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files, QDir::Name), kept);
}

void EventRecordTest::anUnwritableDayFileWarnsOnceAndTheNextDayIsTried_data() {
    QTest::addColumn<bool>("diskFull");
    QTest::newRow("the folder cannot be made") << false;
#ifdef Q_OS_LINUX
    QTest::newRow("the disk is full") << true;  // every write to /dev/full fails with ENOSPC
#endif
}

void EventRecordTest::anUnwritableDayFileWarnsOnceAndTheNextDayIsTried() {
    QFETCH(bool, diskFull);
    const QString folder = m_dir->filePath("record");
    QFile blocker(folder);  // a file where the folder should be
    QVERIFY(diskFull ? QDir().mkpath(folder) && QFile::link("/dev/full", folder + "/" + dayFile().section('/', -1))
                     : blocker.open(QIODevice::WriteOnly));
    CategoryLog log("zadar.record");
    m_writer = std::make_unique<EventRecordWriter>(folder, [this] { return m_now; });
    for (int i = 0; i < 3; ++i)
        m_writer->write(recorded(RecordedEventKind::KartOnAir, "", at(i), i));
    const QStringList warnings = log.take().filter(QRegularExpression("^warning: "));
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().contains("events-2026-12-08.csv"), qPrintable(warnings.first()));

    QVERIFY(diskFull || blocker.remove());
    m_writer->write(recorded(RecordedEventKind::KartOnAir, "", at(10), 10));
    m_writer->write(recorded(RecordedEventKind::KartOnAir, "", at(24 * 3600 * 1000), 11));
    QCOMPARE(readFile(folder + "/events-2026-12-09.csv"),
             header + "2026-12-09T14:03:05.123+01:00,kart-on-air,,,11,,,\r\n");
    QCOMPARE(log.take().filter(QRegularExpression("^warning: ")), QStringList());
}

void EventRecordTest::floodsOfCommandsAreCounted() {
    for (int ms = 0; ms < 1000; ++ms)
        m_writer->write(recorded(RecordedEventKind::GlobalLimit, "10.0.0.9", at(ms), {}, "p0"));
    for (int id = 1; id <= 100; ++id)  // different ones from one source: ten lines, the rest counted
        m_writer->write(recorded(RecordedEventKind::KartLimit, "10.0.0.9", at(id), id));
    for (int id = 1; id <= 20; ++id)  // not flood-prone: every one is written
        m_writer->write(recorded(RecordedEventKind::KartOnAir, "10.0.0.2", at(999), id % 10));
    m_now = at(999);
    m_writer->closeBursts();
    QCOMPARE(linesWithoutTime(dayFile()).size(), 1 + 10 + 20);
    m_now = at(1001);  // both bursts' second is over
    m_writer->closeBursts();
    QStringList lines = linesWithoutTime(dayFile()).mid(31);
    QCOMPARE(lines, (QStringList{"global-limit,10.0.0.9,,,p0,,repeated 999 more times",
                                 "kart-limit,10.0.0.9,,,,,90 more not written: a burst"}));
    QVERIFY(readFile(dayFile()).contains("2026-12-08T14:03:06.122+01:00,global-limit,10.0.0.9,,,p0,,repeated"));

    // A different one ends a run of repeats; a burst also ends when the clock is set back.
    for (const char *mode : {"p0", "p0", "p25"})
        m_writer->write(recorded(RecordedEventKind::GlobalLimit, "10.0.0.9", at(2000), {}, mode));
    m_writer->write(recorded(RecordedEventKind::GlobalLimit, "10.0.0.9", at(2000), {}, "p25"));
    m_now = at(-3600 * 1000);
    m_writer->closeBursts();
    lines = linesWithoutTime(dayFile()).mid(33);
    QCOMPARE(lines,
             (QStringList{"global-limit,10.0.0.9,,,p0,,", "global-limit,10.0.0.9,,,p0,,repeated 1 more times",
                          "global-limit,10.0.0.9,,,p25,,", "global-limit,10.0.0.9,,,p25,,repeated 1 more times"}));
}

void EventRecordTest::everyEventFromAnyThreadIsOnDisk() {
    m_writer.reset();
    QFile old(dayFile(at().date().addDays(-91)));
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.close();
    {
        EventRecord record(m_dir->path(), [] { return at(); });
        record.record({RecordedEventKind::ConsoleStarted, {}});  // stamped by the record's clock
        QTRY_COMPARE(readFile(dayFile()), header + "2026-12-08T14:03:05.123+01:00,console-started,,,,,,\r\n");
        QVERIFY(!old.exists());
        const auto recordMany = [&record](int first) {
            for (int id = first; id < first + 500; ++id)
                record.record({RecordedEventKind::KartOnAir, {}, {}, id});
        };
        std::thread worker(recordMany, 500);
        recordMany(0);
        worker.join();
    }
    QSet<QString> ids;
    for (const QString &line : linesWithoutTime(dayFile()).mid(1))
        ids.insert(line.section(',', 3, 3));
    QCOMPARE(ids.size(), 1000);
    QCOMPARE(linesWithoutTime(dayFile()).size(), 1001);
}

QTEST_GUILESS_MAIN(EventRecordTest)
#include "tst_eventrecord.moc"
