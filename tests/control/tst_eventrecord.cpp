#include <QtTest>
#include <thread>

#include "categorylog.h"
#include "control/eventrecord.h"
#include "control/eventrecordwriter.h"

Q_DECLARE_METATYPE(RecordedEvent)

// The event record's files on a real folder: the writer driven directly with a clock of the test's own, and the
// record with its thread.
namespace {

const QByteArray header = "\xEF\xBB\xBFtime,event,source,kart number,transponder,limit mode,rpm,detail\r\n";

// 2026-12-08 14:03:05.123 at UTC+01:00, plus `ms`.
QDateTime at(qint64 ms = 0, int offsetSecs = 3600) {
    return QDateTime(QDate(2026, 12, 8), QTime(14, 3, 5, 123), Qt::OffsetFromUTC, offsetSecs).addMSecs(ms);
}

RecordedEvent recorded(RecordedEventKind kind, const QString &source, const QDateTime &time,
                       std::optional<int> transponderId = {}, const QString &detail = {}) {
    RecordedEvent e;
    e.kind = kind;
    e.source = source;
    e.transponderId = transponderId;
    e.detail = detail;
    e.time = time;
    return e;
}

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The lines after the header, without the time column.
QStringList linesWithoutTime(const QString &path) {
    const QByteArray contents = readFile(path);
    QStringList lines = QString::fromUtf8(contents.mid(header.size())).split(QStringLiteral("\r\n"));
    lines.removeLast();
    for (QString &line : lines)
        line = line.section(QLatin1Char(','), 1);
    return lines;
}

}  // namespace

class EventRecordTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void linesReadBackAsWrittenInASpreadsheet_data();
    void linesReadBackAsWrittenInASpreadsheet();
    void eachLocalDayHasItsFile();
    void anExistingDayFileIsAppendedTo_data();
    void anExistingDayFileIsAppendedTo();
    void filesOlderThan90DaysAreRemoved();
    void anUnwritableDayFileWarnsOnceAndTheNextDayIsTried_data();
    void anUnwritableDayFileWarnsOnceAndTheNextDayIsTried();
    void aFloodOfOneCommandIsOneLineWithACount();
    void aBurstEndsWhenTheClockIsSetBack();
    void aFloodOfDifferentCommandsIsCapped();
    void eventsThatAreNotFloodProneAreAllWritten();
    void everyEventFromAnyThreadIsOnDiskAtDestruction();
    void anEventIsOnDiskBeforeDestruction();

private:
    QString dayFile(const QDate &day = QDate(2026, 12, 8)) const {
        return m_dir->filePath(EventRecordWriter::fileName(day));
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    QDateTime m_now;
    std::unique_ptr<EventRecordWriter> m_writer;
};

void EventRecordTest::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    m_now = at();
    m_writer = std::make_unique<EventRecordWriter>(m_dir->path(), [this] { return m_now; });
}

void EventRecordTest::cleanup() {
    m_writer.reset();
    m_dir.reset();
}

void EventRecordTest::linesReadBackAsWrittenInASpreadsheet_data() {
    QTest::addColumn<RecordedEvent>("event");
    QTest::addColumn<QString>("line");
    RecordedEvent full;
    full.kind = RecordedEventKind::KartLimit;
    full.source = "192.168.77.21";
    full.kartNumber = "12";
    full.transponderId = 1003;
    full.limitMode = "p0";
    full.rpm = 0;
    full.detail = "took 1200 ms";
    full.time = at();
    QTest::newRow("every column") << full
                                  << "2026-12-08T14:03:05.123+01:00,kart-limit,192.168.77.21,12,1003,p0,0,took 1200 ms";

    RecordedEvent bare = recorded(RecordedEventKind::ConsoleStarted, "", at(0, -(3 * 3600 + 1800)));
    QTest::newRow("empty columns, offset west of UTC") << bare << "2026-12-08T14:03:05.123-03:30,console-started,,,,,,";
    bare.time = at(0, 0);
    QTest::newRow("at UTC") << bare << "2026-12-08T14:03:05.123+00:00,console-started,,,,,,";

    RecordedEvent text = recorded(RecordedEventKind::KartOnAir, "", at());
    text.kartNumber = QStringLiteral("Ж-7");
    QTest::newRow("UTF-8") << text << QStringLiteral("2026-12-08T14:03:05.123+01:00,kart-on-air,,Ж-7,,,,");
    text.kartNumber = "1,2";
    text.detail = "said \"hi\"\nand left";
    QTest::newRow("separator, quotes, line break")
        << text << "2026-12-08T14:03:05.123+01:00,kart-on-air,,\"1,2\",,,,\"said \"\"hi\"\"\nand left\"";
    text.kartNumber = "=1+2";
    text.detail = "-3";
    text.limitMode = "@SUM(A1)";
    QTest::newRow("texts that look like formulas")
        << text << "2026-12-08T14:03:05.123+01:00,kart-on-air,,'=1+2,,'@SUM(A1),,'-3";
    RecordedEvent negative = recorded(RecordedEventKind::KartOnAir, "", at(), -5);
    negative.rpm = -1;
    QTest::newRow("negative numbers stay numbers") << negative << "2026-12-08T14:03:05.123+01:00,kart-on-air,,,-5,,-1,";
}

void EventRecordTest::linesReadBackAsWrittenInASpreadsheet() {
    QFETCH(RecordedEvent, event);
    QFETCH(QString, line);
    m_writer->write(event);
    QCOMPARE(readFile(dayFile()), header + line.toUtf8() + "\r\n");
}

void EventRecordTest::eachLocalDayHasItsFile() {
    const QDateTime beforeMidnight(QDate(2026, 12, 8), QTime(23, 59, 59, 999), Qt::OffsetFromUTC, 3600);
    m_writer->write(recorded(RecordedEventKind::KartSilent, "", beforeMidnight, 1));
    m_writer->write(recorded(RecordedEventKind::KartBack, "", beforeMidnight.addMSecs(1), 1));
    m_writer->write(recorded(RecordedEventKind::KartSilent, "", beforeMidnight.addMSecs(2), 1));
    QCOMPARE(readFile(dayFile()), header + "2026-12-08T23:59:59.999+01:00,kart-silent,,,1,,,\r\n");
    QCOMPARE(readFile(dayFile(QDate(2026, 12, 9))), header + "2026-12-09T00:00:00.000+01:00,kart-back,,,1,,,\r\n" +
                                                        "2026-12-09T00:00:00.001+01:00,kart-silent,,,1,,,\r\n");
}

void EventRecordTest::anExistingDayFileIsAppendedTo_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    const QByteArray line = "2026-12-08T10:00:00.000+01:00,console-started,,,,,,\r\n";
    QTest::newRow("whole lines") << header + line << header + line;
    // A crash in the middle of a line must not glue the next line to it.
    QTest::newRow("cut in a line") << header + line + "2026-12-08T10:00" << header + line + "2026-12-08T10:00\r\n";
}

void EventRecordTest::anExistingDayFileIsAppendedTo() {
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QFile file(dayFile());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(before);
    file.close();
    m_writer->write(recorded(RecordedEventKind::ConsoleStarted, "", at()));
    QCOMPARE(readFile(dayFile()), after + "2026-12-08T14:03:05.123+01:00,console-started,,,,,,\r\n");
}

void EventRecordTest::filesOlderThan90DaysAreRemoved() {
    const QDate today = m_now.date();
    const QStringList kept{EventRecordWriter::fileName(today), EventRecordWriter::fileName(today.addDays(-90)),
                           "events-2026-13-45.csv", "events-2020-01-01.csv.bak", "notes.csv"};
    const QStringList removed{EventRecordWriter::fileName(today.addDays(-91)),
                              EventRecordWriter::fileName(today.addDays(-400))};
    for (const QString &name : kept + removed) {
        QFile file(m_dir->filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QDir(m_dir->path()).mkdir(EventRecordWriter::fileName(today.addDays(-200)));  // not a file: left alone

    m_writer->removeOldFiles();
    QStringList expected = kept;
    expected << EventRecordWriter::fileName(today.addDays(-200));
    expected.sort();
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name), expected);
}

void EventRecordTest::anUnwritableDayFileWarnsOnceAndTheNextDayIsTried_data() {
    QTest::addColumn<bool>("diskFull");
    QTest::newRow("the folder cannot be made") << false;
#ifdef Q_OS_LINUX
    QTest::newRow("the disk is full") << true;
#endif
}

void EventRecordTest::anUnwritableDayFileWarnsOnceAndTheNextDayIsTried() {
    QFETCH(bool, diskFull);
    const QString folder = m_dir->filePath("record");
    if (diskFull) {
        QVERIFY(QDir().mkpath(folder));
        // Every write to /dev/full fails as on a full disk (ENOSPC).
        QVERIFY(QFile::link("/dev/full", QDir(folder).filePath(EventRecordWriter::fileName(m_now.date()))));
    } else {
        QFile blocker(folder);  // a file where the folder should be
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    CategoryLog log("zadar.record");
    m_writer = std::make_unique<EventRecordWriter>(folder, [this] { return m_now; });

    for (int i = 0; i < 3; ++i)
        m_writer->write(recorded(RecordedEventKind::KartOnAir, "", at(i), i));
    const QStringList warnings = log.take("warning");
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().contains(EventRecordWriter::fileName(m_now.date())), qPrintable(warnings.first()));

    if (!diskFull)
        QVERIFY(QFile::remove(folder));
    m_writer->write(recorded(RecordedEventKind::KartOnAir, "", at(10), 10));
    const QDateTime nextDay = at(24 * 3600 * 1000);
    m_writer->write(recorded(RecordedEventKind::KartOnAir, "", nextDay, 11));
    QCOMPARE(log.take("warning"), QStringList());
    QCOMPARE(readFile(QDir(folder).filePath(EventRecordWriter::fileName(nextDay.date()))),
             header + "2026-12-09T14:03:05.123+01:00,kart-on-air,,,11,,,\r\n");
}

void EventRecordTest::aFloodOfOneCommandIsOneLineWithACount() {
    const auto global = [](const QString &source, const QString &mode, qint64 ms) {
        RecordedEvent e = recorded(RecordedEventKind::GlobalLimit, source, at(ms));
        e.limitMode = mode;
        return e;
    };
    for (int i = 0; i < 1000; ++i)
        m_writer->write(global("10.0.0.9", "p0", i));
    m_writer->write(global("10.0.0.5", "p50", 999));  // another console: a burst of its own
    m_now = at(999);
    m_writer->closeBursts();  // within the second: only counted so far
    QCOMPARE(linesWithoutTime(dayFile()),
             (QStringList{"global-limit,10.0.0.9,,,p0,,", "global-limit,10.0.0.5,,,p50,,"}));

    m_now = at(1000);
    m_writer->closeBursts();
    // A different command ends the run of repeats; the same one after the burst's second opens a new burst.
    m_writer->write(global("10.0.0.9", "p0", 1000));
    m_writer->write(global("10.0.0.9", "p0", 1001));
    m_writer->write(global("10.0.0.9", "p25", 1002));
    m_writer->finish();
    const QStringList lines = linesWithoutTime(dayFile());
    QCOMPARE(lines,
             (QStringList{"global-limit,10.0.0.9,,,p0,,", "global-limit,10.0.0.5,,,p50,,",
                          "global-limit,10.0.0.9,,,p0,,repeated 999 more times", "global-limit,10.0.0.9,,,p0,,",
                          "global-limit,10.0.0.9,,,p0,,repeated 1 more times", "global-limit,10.0.0.9,,,p25,,"}));
    // A count's line carries the time of the last repeat.
    QVERIFY(readFile(dayFile()).contains("2026-12-08T14:03:06.122+01:00,global-limit,10.0.0.9,,,p0,,repeated 999"));
    QVERIFY(readFile(dayFile()).contains("2026-12-08T14:03:06.124+01:00,global-limit,10.0.0.9,,,p0,,repeated 1 "));
}

void EventRecordTest::aBurstEndsWhenTheClockIsSetBack() {
    for (int i = 0; i < 3; ++i)
        m_writer->write(recorded(RecordedEventKind::Reset, "click", at(i)));
    m_now = at(-3600 * 1000);
    m_writer->closeBursts();
    QCOMPARE(linesWithoutTime(dayFile()), (QStringList{"reset,click,,,,,", "reset,click,,,,,repeated 2 more times"}));
}

void EventRecordTest::aFloodOfDifferentCommandsIsCapped() {
    for (int id = 1; id <= 100; ++id)
        m_writer->write(recorded(RecordedEventKind::KartLimit, "10.0.0.9", at(id), id));
    m_now = at(1001);
    m_writer->closeBursts();
    const QStringList lines = linesWithoutTime(dayFile());
    QCOMPARE(lines.size(), 11);
    QCOMPARE(lines.first(), "kart-limit,10.0.0.9,,1,,,");
    QCOMPARE(lines.at(9), "kart-limit,10.0.0.9,,10,,,");
    QCOMPARE(lines.last(), "kart-limit,10.0.0.9,,,,,90 more not written: a burst");
}

void EventRecordTest::eventsThatAreNotFloodProneAreAllWritten() {
    // Forty karts heard in the same millisecond at the start of a session, some of them twice.
    for (int id = 1; id <= 40; ++id)
        m_writer->write(recorded(RecordedEventKind::KartOnAir, "10.0.0.2", at(), id % 30));
    m_writer->finish();
    QCOMPARE(linesWithoutTime(dayFile()).size(), 40);
}

void EventRecordTest::everyEventFromAnyThreadIsOnDiskAtDestruction() {
    m_writer.reset();
    const auto recordMany = [](const EventRecord &record, int first) {
        for (int id = first; id < first + 500; ++id)
            record.record(recorded(RecordedEventKind::KartOnAir, "", at(), id));
    };
    {
        EventRecord record(m_dir->path(), [] { return at(); });
        std::thread worker(recordMany, std::cref(record), 500);
        recordMany(record, 0);
        worker.join();
    }
    QStringList ids;
    for (const QString &line : linesWithoutTime(dayFile()))
        ids << line.section(QLatin1Char(','), 3, 3);
    QCOMPARE(ids.size(), 1000);
    std::sort(ids.begin(), ids.end(), [](const QString &a, const QString &b) { return a.toInt() < b.toInt(); });
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    QCOMPARE(ids.size(), 1000);
}

void EventRecordTest::anEventIsOnDiskBeforeDestruction() {
    m_writer.reset();
    // The record's own clock stamps the event, and removes old files with its date first.
    QFile old(m_dir->filePath(EventRecordWriter::fileName(at().date().addDays(-91))));
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.close();
    EventRecord record(m_dir->path(), [] { return at(); });
    record.record(recorded(RecordedEventKind::ConsoleStarted, "", QDateTime()));
    QTRY_COMPARE_WITH_TIMEOUT(readFile(dayFile()), header + "2026-12-08T14:03:05.123+01:00,console-started,,,,,,\r\n",
                              5000);
    QVERIFY(!old.exists());
}

QTEST_GUILESS_MAIN(EventRecordTest)
#include "tst_eventrecord.moc"
