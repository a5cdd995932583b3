#include <QtTest>

#include "categorylog.h"
#include "incident/incidentrecorder.h"
#include "incident/incidentreportwriter.h"

// The recorder driven by the test's steady clock, its reports read back from their files.
namespace {

constexpr qint64 second = 1000;

// The console's wall clock: 2026-12-09 14:00:00 at UTC+01:00 when the steady clock reads 0.
QDateTime wallAt(qint64 steadyMs) {
    return QDateTime(QDate(2026, 12, 9), QTime(14, 0), Qt::OffsetFromUTC, 3600).addMSecs(steadyMs);
}

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// "<file name> <first sample>-<last sample> <marks>", in steady seconds, as the report's files say.
QString describe(const QString &htmlPath) {
    const QList<QByteArray> lines = readFile(QString(htmlPath).replace(".html", ".csv")).split('\n');
    const auto seconds = [](const QByteArray &line) {
        return wallAt(0).secsTo(QDateTime::fromString(QString::fromUtf8(line.left(29)), Qt::ISODateWithMs));
    };
    return QStringLiteral("%1 %2-%3 %4")
        .arg(QFileInfo(htmlPath).completeBaseName())
        .arg(seconds(lines.value(1)))
        .arg(seconds(lines.value(lines.size() - 2)))
        .arg(readFile(htmlPath).count("Marked: "));
}

}  // namespace

class IncidentRecorderTest : public QObject {
    Q_OBJECT

private slots:
    void reportWindows_data();
    void reportWindows();
    void oldestSamplesGoByAgeAndByByteCap_data();
    void oldestSamplesGoByAgeAndByByteCap();
    void summarySaysWhoTookEachLimitAndWhoNever();
    void aReportWaitsForAWritableFolder();
};

void IncidentRecorderTest::reportWindows_data() {
    QTest::addColumn<QVector<int>>("marks");  // seconds
    QTest::addColumn<int>("closedAt");
    QTest::addColumn<QStringList>("reports");
    // A file of the first report's name is there already: it is kept, the report gets "-2".
    QTest::newRow("3 min before, 60 s after")
        << QVector<int>{300} << 1200 << QStringList{"incident-2026-12-09-14-05-00-2 120-360 1"};
    QTest::newRow("a mark within extends it")
        << QVector<int>{300, 359} << 1200 << QStringList{"incident-2026-12-09-14-05-00-2 120-419 2"};
    QTest::newRow("a mark after it opens the next")
        << QVector<int>{300, 361} << 1200
        << QStringList{"incident-2026-12-09-14-05-00-2 120-360 1", "incident-2026-12-09-14-06-01 181-421 1"};
    QVector<int> everySecond(701);
    std::iota(everySecond.begin(), everySecond.end(), 300);
    QTest::newRow("marks every second: 10 minutes at most")
        << everySecond << 1200
        << QStringList{"incident-2026-12-09-14-05-00-2 120-720 420", "incident-2026-12-09-14-12-00 540-1060 281"};
    QTest::newRow("closed before it is due: written up to then")
        << QVector<int>{300} << 330 << QStringList{"incident-2026-12-09-14-05-00-2 120-330 1"};
}

void IncidentRecorderTest::reportWindows() {
    QFETCH(QVector<int>, marks);
    QFETCH(int, closedAt);
    QFETCH(QStringList, reports);
    QTemporaryDir folder;
    QVERIFY(QDir().mkpath(folder.filePath("incidents")));
    QFile existing(folder.filePath("incidents/incident-2026-12-09-14-05-00.html"));
    QVERIFY(existing.open(QIODevice::WriteOnly));
    qint64 now = 0;
    auto recorder = std::make_unique<IncidentRecorder>(
        folder.path(), nullptr, [&now] { return now; }, [&now] { return wallAt(now); });
    for (; now <= closedAt * second; now += second) {
        recorder->addReport({1003, int(now / second), 10000, -60});
        if (marks.contains(int(now / second)))
            recorder->mark(QStringLiteral("F8"));
        recorder->handOverDueReport();
    }
    now -= second;
    QElapsedTimer closing;
    closing.start();
    recorder.reset();
    QVERIFY(closing.elapsed() < IncidentRecorder::exitWriteMs);
    QStringList described;
    for (const QFileInfo &file : QDir(folder.filePath("incidents")).entryInfoList({"*.html"}, QDir::Files, QDir::Name))
        if (file.size() > 0)
            described << describe(file.filePath());
    QCOMPARE(described, reports);
}

void IncidentRecorderTest::oldestSamplesGoByAgeAndByByteCap_data() {
    QTest::addColumn<int>("karts");
    QTest::addColumn<int>("seconds");
    QTest::addColumn<qint64>("capBytes");
    QTest::addColumn<int>("kept");
    QTest::addColumn<qint64>("oldestMs");
    // 10 Hz: the reports at 299.9 s are exactly 10 minutes old at the last one, 899.9 s.
    QTest::newRow("by age") << 2 << 900 << FlightRecorder::defaultSampleBytes << 2 * 6001 << qint64(299900);
    QTest::newRow("1000 karts: by the byte cap")
        << 1000 << 60 << qint64(50000 * sizeof(KartSample)) << 50000 << qint64(55000);
}

void IncidentRecorderTest::oldestSamplesGoByAgeAndByByteCap() {
    QFETCH(int, karts);
    QFETCH(int, seconds);
    QFETCH(qint64, capBytes);
    QFETCH(int, kept);
    QFETCH(qint64, oldestMs);
    qint64 now = 0;
    FlightRecorder recorder([&now] { return now; }, capBytes);
    for (; now < seconds * second; now += 100) {
        for (int kart = 1; kart <= karts; ++kart)
            recorder.addReport({kart, 8000, 10000, -60});
    }
    const std::vector<KartSample> samples = recorder.window(0, now).samples();
    QCOMPARE(int(samples.size()), kept);
    QCOMPARE(samples.front().steadyMs, oldestMs);
}

void IncidentRecorderTest::summarySaysWhoTookEachLimitAndWhoNever() {
    qint64 now = 0;
    FlightRecorder recorder([&now] { return now; });
    const auto report = [&](qint64 ms, int id, int limit) {
        now = ms;
        recorder.addReport({id, 7000, limit, -60});
    };
    report(500, 1, 0);  // STOP in force before it was chosen: not taking it
    report(900, 3, 10000);
    now = 1000;
    recorder.addChosenLimit(0, "p0", 0, "key F12\"</script><b>");
    report(1000, 1, 10000);
    report(1100, 2, 10000);
    report(1400, 1, 0);
    report(1500, 2, 10000);
    now = 2000;
    recorder.addChosenLimit(2, "p50", 3000, "click");
    recorder.addChosenLimit(9, "p25", 2300, "192.168.77.21");
    report(2500, 2, 3000);
    report(2600, 1, 0);

    QStringList takings;
    const FlightWindow window = recorder.window(0, now);
    for (const LimitTaking &taking : IncidentReport::limitTakings(window)) {
        const char *const outcomes[] = {"took it after", "never took it", "silent"};
        takings << QStringLiteral("%1 kart %2 %3 %4")
                       .arg(window.limits[taking.choice].mode)
                       .arg(taking.transponderId)
                       .arg(outcomes[int(taking.outcome)])
                       .arg(taking.outcome == LimitTaking::Outcome::Taken
                                ? taking.takenMs - window.limits[taking.choice].steadyMs
                                : -1);
    }
    QCOMPARE(takings, QStringList({"p0 kart 1 took it after 400", "p0 kart 2 never took it -1", "p0 kart 3 silent -1",
                                   "p50 kart 2 took it after 500", "p25 kart 9 silent -1"}));

    // On the page, in red, with the outside texts escaped.
    QBuffer html;
    html.open(QIODevice::WriteOnly);
    IncidentReport::writeHtml(html, {window, {{1000, "STOP <all>"}}, {{2, "<i>7</i>"}}, {0, wallAt(0)}});
    const QByteArray page = html.data();
    QVERIFY(
        page.contains("<p class=\"never\">kart &lt;i&gt;7&lt;/i&gt; (transponder 2) never took STOP chosen at "
                      "14:00:01.000 (key F12&quot;&lt;/script&gt;&lt;b&gt;)."));
    QVERIFY(
        page.contains("<p class=\"never\">transponder 9 never took 25% chosen at 14:00:02.000 (192.168.77.21): no "
                      "report after it."));
    QCOMPARE(page.count("</script>"), 2);
    const QByteArray body = page.mid(page.indexOf("<body>"));
    QVERIFY(!body.contains("<i>") && !body.contains("<b>") && !body.contains("<all>"));
}

// A folder that cannot be written: the report waits, one warning, and is written once the folder can be.
void IncidentRecorderTest::aReportWaitsForAWritableFolder() {
    QTemporaryDir folder;
    QFile blocking(folder.filePath("incidents"));
    QVERIFY(blocking.open(QIODevice::WriteOnly));
    CategoryLog log("zadar.incident");
    qint64 now = 0;
    IncidentRecorder recorder(folder.path(), nullptr, [&now] { return now; });
    QSignalSpy notYet(&recorder, &IncidentRecorder::reportNotWrittenYet);
    QSignalSpy written(&recorder, &IncidentRecorder::reportWritten);
    recorder.mark(QStringLiteral("F8"));
    now += IncidentRecorder::afterMarkMs;
    recorder.handOverDueReport();
    QTRY_COMPARE(notYet.count(), 1);
    QVERIFY(blocking.remove());
    QTRY_COMPARE_WITH_TIMEOUT(written.count(), 1, 2 * IncidentReportWriter::retryMs);
    QCOMPARE(notYet.count(), 1);
    const QStringList lines = log.take().filter(QRegularExpression("^warning: "));
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[0].contains("not written yet"));
    QVERIFY(lines[1].startsWith("warning: Incident report written late:"));
}

QTEST_GUILESS_MAIN(IncidentRecorderTest)
#include "tst_incidentrecorder.moc"
