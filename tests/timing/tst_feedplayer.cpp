#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include "timing/timingfeed.h"

// The feed player plays the sample session to the console's feed: every flag in turn, then the end of the feed.
class FeedPlayerTest : public QObject {
    Q_OBJECT

private slots:
    void theSampleSessionShowsEveryFlagInTurn();
};

void FeedPlayerTest::theSampleSessionShowsEveryFlagInTurn() {
    QProcess player;
    player.setReadChannel(QProcess::StandardError);
    player.start(FEED_PLAYER, {"--port", "0", "--speed", "40", RMONITOR_SAMPLE});
    QString port;
    const QRegularExpression startLine("listen=127\\.0\\.0\\.1:(\\d+)");
    while (port.isEmpty() && player.waitForReadyRead(5000))
        port = startLine.match(QString::fromUtf8(player.readAll())).captured(1);
    QVERIFY(!port.isEmpty());

    TimingFeed feed;
    QStringList events;
    connect(&feed, &TimingFeed::raceFlagChanged, this, [&events](RaceFlag flag, const QString &runName) {
        events << (flag == RaceFlag::None ? "none" : raceFlagName(flag)) + " " + runName;
    });
    connect(&feed, &TimingFeed::feedLost, this, [&events] { events << "lost"; });
    QElapsedTimer clock;
    clock.start();
    feed.setAddress("127.0.0.1:" + port);
    const QString run = QString::fromUtf8("Finale Senior – Rotax Max");
    const QStringList flags{"none ",        "green " + run,  "yellow " + run, "green " + run, "red " + run,
                            "green " + run, "finish " + run, "none " + run,   "lost"};
    QTRY_COMPARE_WITH_TIMEOUT(events, flags, 10000);
    // 61 s between the first and the last heartbeat, at 40 times the speed.
    QVERIFY2(clock.elapsed() > 1400, qPrintable(QString::number(clock.elapsed())));
    QTRY_COMPARE(player.state(), QProcess::NotRunning);
    QCOMPARE(player.exitStatus(), QProcess::NormalExit);
    QCOMPARE(player.exitCode(), 0);
}

QTEST_GUILESS_MAIN(FeedPlayerTest)
#include "tst_feedplayer.moc"
