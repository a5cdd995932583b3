#include <QtTest>
#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

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
    void aFileThatCannotBeWrittenLosesNoEvent_data();
    void aFileThatCannotBeWrittenLosesNoEvent();
    void floodsOfCommandsAreCappedAtTenLinesASecond();
    void theRecordWritesInItsThreadAndDeletesNoFile();

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

namespace {

// Holds a file so that the record cannot write it: on Windows open with a share mode that denies writing, as a
// spreadsheet holds a file it shows; on Linux immutable, which stops root too.
class FileLock {
public:
    explicit FileLock(const QString &path) : m_path(path) {
        if (QFile file(path); !file.exists() && file.open(QIODevice::WriteOnly))
            file.write(header);
#ifdef Q_OS_WIN
        m_handle = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()), GENERIC_READ,
                               FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        m_held = m_handle != INVALID_HANDLE_VALUE;
#else
        m_held = QProcess::execute("chattr", {"+i", path}) == 0;
#endif
    }
    ~FileLock() {
        release();
    }
    bool held() const {
        return m_held;
    }
    void release() {
        if (!std::exchange(m_held, false))
            return;
#ifdef Q_OS_WIN
        CloseHandle(m_handle);
#else
        QProcess::execute("chattr", {"-i", m_path});
#endif
    }

private:
    QString m_path;
    bool m_held = false;
#ifdef Q_OS_WIN
    HANDLE m_handle = INVALID_HANDLE_VALUE;
#endif
};

}  // namespace

void EventRecordTest::aFileThatCannotBeWrittenLosesNoEvent_data() {
    QTest::addColumn<int>("lockedSecs");
    QTest::addColumn<int>("events");
    QTest::addColumn<bool>("noEventAfter");  // what waits is written within 5 s all the same
    QTest::newRow("locked for 10 s") << 10 << 20 << true;
    QTest::newRow("locked for 40 s: the day goes on in a second file") << 40 << 80 << false;
    QTest::newRow("more events than are kept") << 10 << EventRecordWriter::maxWaiting + 5 << false;
}

void EventRecordTest::aFileThatCannotBeWrittenLosesNoEvent() {
    QFETCH(int, lockedSecs);
    QFETCH(int, events);
    QFETCH(bool, noEventAfter);
    CategoryLog log("zadar.record");
    // Locked before the console starts, as a spreadsheet left open on the day's file.
    FileLock lock(dayFile());
    if (!lock.held())
        QSKIP("the file cannot be locked here (chattr needs root and a file system that keeps the flag)");
    m_writer->write(recorded(RecordedEventKind::ConsoleStarted, "", at()));
    for (int i = 0; i < events; ++i) {
        m_now = at(qint64(i) * lockedSecs * 1000 / events);
        m_writer->write(recorded(RecordedEventKind::KartOnAir, "", m_now, i));
    }
    lock.release();
    m_now = at((lockedSecs + 1) * 1000);  // a second after the last try

    QStringList expected{"console-started,,,,,,"};
    const int kept = std::min(1 + events, int(EventRecordWriter::maxWaiting));
    for (int i = 0; i < kept - 1; ++i)
        expected << QStringLiteral("kart-on-air,,,%1,,,").arg(i);
    if (1 + events > kept)
        expected << QStringLiteral("not-recorded,,,,,,%1 events not kept while the record could not be written")
                        .arg(1 + events - kept);
    const QString second = m_dir->filePath(EventRecordWriter::fileName(at().date(), 2));
    if (!noEventAfter)
        m_writer->catchUp();
    QTRY_COMPARE_WITH_TIMEOUT(linesWithoutTime(dayFile()) + linesWithoutTime(second), expected, 7000);
    QCOMPARE(QFile::exists(second), lockedSecs > 30);
    const QStringList warnings = log.take();
    QCOMPARE(warnings.filter("cannot write").size(), 1);
    QCOMPARE(warnings.filter("stays locked").size(), lockedSecs > 30 ? 1 : 0);
    // After a switch to the second file, only what waited until then was late.
    const QString late = lockedSecs > 30 ? QStringLiteral("events written late")
                                         : QStringLiteral("again; %1 events written late").arg(kept);
    QCOMPARE(warnings.filter(late).size(), 1);
}

void EventRecordTest::floodsOfCommandsAreCappedAtTenLinesASecond() {
    for (int ms = 0; ms < 1000; ++ms)
        m_writer->write(recorded(RecordedEventKind::GlobalLimit, "10.0.0.9", at(ms), {}, "p0"));
    for (int id = 1; id <= 20; ++id)  // not flood-prone: every one is written
        m_writer->write(recorded(RecordedEventKind::KartOnAir, "10.0.0.9", at(999), id));
    QCOMPARE(linesWithoutTime(dayFile()).size(), 10 + 20);
    // The next second's first command ends the count; so does a clock set back.
    m_writer->write(recorded(RecordedEventKind::GlobalLimit, "10.0.0.9", at(1000), {}, "p25"));
    m_writer->write(recorded(RecordedEventKind::GlobalLimit, "10.0.0.9", at(-5000), {}, "p50"));
    QCOMPARE(linesWithoutTime(dayFile()).mid(30),
             (QStringList{"global-limit,10.0.0.9,,,,,990 more within the second", "global-limit,10.0.0.9,,,p25,,",
                          "global-limit,10.0.0.9,,,p50,,"}));
    QVERIFY(readFile(dayFile()).contains("2026-12-08T14:03:06.122+01:00,global-limit,10.0.0.9,,,,,990 more"));
}

void EventRecordTest::theRecordWritesInItsThreadAndDeletesNoFile() {
    m_writer.reset();
    QFile old(dayFile(at().date().addDays(-400)));
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.close();
    {
        EventRecord record(m_dir->path(), [] { return at(); });
        record.record({RecordedEventKind::ConsoleStarted, {}});  // stamped by the record's clock
        QTRY_COMPARE(readFile(dayFile()), header + "2026-12-08T14:03:05.123+01:00,console-started,,,,,,\r\n");
        for (int id = 0; id < 100; ++id)
            record.record({RecordedEventKind::KartOnAir, {}, {}, id});
    }
    QCOMPARE(linesWithoutTime(dayFile()).size(), 101);
    QVERIFY(old.exists());
}

QTEST_GUILESS_MAIN(EventRecordTest)
#include "tst_eventrecord.moc"
