#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <memory>
#ifdef Q_OS_LINUX
#include <sys/resource.h>
#endif

#include "categorylog.h"
#include "isolatedsettings.h"
#include "timing/timingfeed.h"

// The feed against a real timing server on loopback, and the settings its screen reads and writes.
namespace {

QByteArray heartbeat(const QByteArray &flagField) {
    return "$F,14,\"00:12:45\",\"13:34:23\",\"00:09:47\",\"" + flagField + "\"\r\n";
}

// The process's peak resident memory on Linux; -1 elsewhere, and under AddressSanitizer, which keeps what is freed.
qint64 peakResidentBytes() {
#if defined(Q_OS_LINUX) && !defined(__SANITIZE_ADDRESS__)
    rusage usage{};
    return getrusage(RUSAGE_SELF, &usage) == 0 ? qint64(usage.ru_maxrss) * 1024 : -1;
#else
    return -1;
#endif
}

}  // namespace

class TimingFeedTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void flagsAreSignalledOnChangeAndSilenceIsALoss();
    void anEndlessLineKeepsMemoryBoundedAndTheNextLineCounts();
    void addressesThatCanBeUsed_data();
    void addressesThatCanBeUsed();
    void storedSettingsFallBackToTheirDefaults();

private:
    QString listen() {
        if (!m_server.listen(QHostAddress::LocalHost))
            return {};
        return QStringLiteral("127.0.0.1:%1").arg(m_server.serverPort());
    }
    // The server's end of the feed's next connection, or null after 5 s.
    QTcpSocket *acceptFeed() {
        QDeadlineTimer deadline(5000);
        while (!m_server.hasPendingConnections() && !deadline.hasExpired())
            QTest::qWait(10);
        return m_server.nextPendingConnection();
    }

    std::unique_ptr<TimingFeed> m_feed;
    QTcpServer m_server;
    QStringList m_events;
    QString m_lostReason;
};

void TimingFeedTest::init() {
    m_server.close();
    m_events.clear();
    m_feed = std::make_unique<TimingFeed>();
    connect(m_feed.get(), &TimingFeed::feedConnected, this,
            [this](const QString &address) { m_events << "connected " + address; });
    connect(m_feed.get(), &TimingFeed::feedLost, this, [this](const QString &address, const QString &reason) {
        m_events << "lost " + address;
        m_lostReason = reason;
    });
    connect(m_feed.get(), &TimingFeed::raceFlagChanged, this, [this](RaceFlag flag, const QString &runName) {
        m_events << "flag " + raceFlagName(flag) + " " + runName;
    });
}

void TimingFeedTest::flagsAreSignalledOnChangeAndSilenceIsALoss() {
    const QString address = listen();
    m_feed->setAddress(address);
    QTcpSocket *server = acceptFeed();
    QVERIFY(server);
    server->write("$B,5,\"Practice 1\"\r\n" + heartbeat("Green ") + heartbeat("Green ") + heartbeat("Yellow") +
                  heartbeat("YELLOW"));
    QTRY_COMPARE(m_events, (QStringList{"connected " + address, "flag green Practice 1", "flag yellow Practice 1"}));
    QVERIFY(m_feed->isConnected());
    QCOMPARE(m_feed->flagName(), "yellow");
    QCOMPARE(m_feed->runName(), "Practice 1");

    // Then the server falls silent: after 5 s that is a loss too.
    QElapsedTimer silence;
    silence.start();
    QTRY_COMPARE_WITH_TIMEOUT(m_events.size(), 4, TimingFeed::silenceTimeoutMs + 2000);
    QVERIFY2(silence.elapsed() >= TimingFeed::silenceTimeoutMs - 100, qPrintable(QString::number(silence.elapsed())));
    QCOMPARE(m_lostReason, "nothing received for 5 s");
}

void TimingFeedTest::anEndlessLineKeepsMemoryBoundedAndTheNextLineCounts() {
    CategoryLog log("zadar.timing");
    m_feed->setAddress(listen());
    QTcpSocket *server = acceptFeed();
    QVERIFY(server);
    server->write(heartbeat("Red   "));
    QTRY_COMPARE(m_events.size(), 2);

    // 8 MiB of every byte value but LF, written as the connection takes them.
    const qint64 peakBefore = peakResidentBytes();
    QByteArray chunk(64 * 1024, 0);
    for (int i = 0; i < chunk.size(); ++i)
        chunk[i] = char(i * 7 % 256 == '\n' ? 0 : i * 7 % 256);
    for (int sent = 0; sent < 8 * 1024 * 1024;) {
        if (server->bytesToWrite() > 4 * chunk.size()) {
            QTest::qWait(1);
            continue;
        }
        server->write(chunk);
        sent += chunk.size();
    }
    server->write("\r\n" + heartbeat("Green "));
    QTRY_COMPARE(m_events.last(), "flag green ");
    if (peakBefore > 0)
        QVERIFY2(peakResidentBytes() - peakBefore < 4 * 1024 * 1024,
                 qPrintable(QString::number(peakResidentBytes() - peakBefore)));
    QCOMPARE(log.take().filter("warning: ").filter("dropped a line").size(), 1);
}

void TimingFeedTest::addressesThatCanBeUsed_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("usable");
    const QStringList usable{"", "timing", "timing-pc.local:50001", "192.168.1.20", "192.168.1.20:65535", "pc_2:1"};
    for (const QString &address : usable)
        QTest::newRow(qPrintable("usable " + address)) << address << true;
    const QStringList unusable{":50000",  "timing:0",   "timing:65536", "timing:",   " timing", "tim ing",
                               "timing ", "10.1",       "300.1.2.3",    "010.1.1.1", "a:1:2",   "[::1]:50000",
                               "timing.", "timing:-80", "timing:5e4",   "timing..pc"};
    for (const QString &address : unusable)
        QTest::newRow(qPrintable("unusable " + address)) << address << false;
}

void TimingFeedTest::addressesThatCanBeUsed() {
    QFETCH(QString, address);
    QFETCH(bool, usable);
    QCOMPARE(m_feed->isUsableAddress(address), usable);
}

void TimingFeedTest::storedSettingsFallBackToTheirDefaults() {
    IsolatedSettings isolated;
    const QJsonObject defaults{
        {"address", ""}, {"onYellow", "p50"}, {"onRed", "p0"}, {"onFinish", "p25"}, {"releaseOnGreen", true}};
    QCOMPARE(m_feed->settings(), defaults);
    const auto store = IsolatedSettings::open();
    store->setValue("timingFeed/onYellow", "p100");
    store->setValue("timingFeed/onRed", "STOP");
    store->setValue("timingFeed/onFinish", 25);
    store->setValue("timingFeed/releaseOnGreen", "maybe");
    QCOMPARE(m_feed->settings(), defaults);

    const QJsonObject chosen{{"address", "127.0.0.1:50001"},
                             {"onYellow", ""},
                             {"onRed", "p25"},
                             {"onFinish", "p0"},
                             {"releaseOnGreen", false}};
    QVERIFY(m_feed->saveSettings(chosen));
    QCOMPARE(m_feed->settings(), chosen);
    QCOMPARE(m_feed->address(), "127.0.0.1:50001");
}

QTEST_GUILESS_MAIN(TimingFeedTest)
#include "tst_timingfeed.moc"
