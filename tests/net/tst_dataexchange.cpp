#include <QJsonDocument>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QUdpSocket>
#include <QtTest>
#include <mutex>

#include "fakeexchangeenvironment.h"
#include "frames.h"
#include "net/dataexchange.h"
#include "net/handoverqueue.h"

using namespace TestFrames;

namespace {

const QHostAddress loopbackBroadcast(QStringLiteral("127.255.255.255"));

// Log lines of the exchange's category, from whichever thread writes them. A standard mutex, which
// ThreadSanitizer sees (QMutex locks through Qt's uninstrumented code).
std::mutex logMutex;
QStringList netLog;
QtMessageHandler previousHandler = nullptr;

void recordNetLog(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    if (context.category && qstrcmp(context.category, "zadar.net") == 0) {
        std::lock_guard<std::mutex> lock(logMutex);
        netLog << message;
    }
    if (type != QtDebugMsg)
        previousHandler(type, context, message);
}

QStringList takeNetLog() {
    std::lock_guard<std::mutex> lock(logMutex);
    return std::exchange(netLog, {});
}

QStringList sheddingLog() {
    return takeNetLog().filter(QRegularExpression("^(Reports arrive faster|Caught up)"));
}

// Collects link-state notifications and transponder reports in the main thread.
class Receiver : public QObject {
public:
    QList<QJsonObject> states;
    QList<int> transponderIds;
    QList<QJsonObject> commands;
    QStringList events;  // reports ("id 1") and application commands ("command") in arrival order
};

}  // namespace

class DataExchangeTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void pingsEveryQualifyingEntryInOrder();
    void statusFrameMakesTheLinkOnline();
    void statusFrameReassertsADifferentGlobalLimit();
    void retranslatorNetworkIsTheFirstEntryHoldingTheSender();
    void senderOutsideEveryNetworkGetsNoCommands();
    void rememberedGlobalLimitIsReasserted();
    void commandsBeforeTheFirstStatusAreDropped();
    void transponderLimitsOnlyWithoutGlobalLimit();
    void applicationCommandsGoToEveryNetwork();
    void linkGoesOfflineAfterMoreThanThreeWholeSeconds();
    void linkCheckDoesNothingBeforeAnyStatus();
    void identicalStatusFramesNotifyTwice();
    void applicationCommandsAreReported();
    void burstArrivesInOrder();
    void applicationCommandKeepsItsPlaceAmongReports();
    void queuedCallsRunBetweenBoundedBatches();
    void readingPausesWhileTheReceiverIsBehind();
    void droppedDatagramsAreSheddingLoad();
    void controlDatagramsGetThroughWhileShedding();
    void waitingHandOversKeepTheirOrderAsTheQueueWrapsAndGrows();
    void badInputLeavesDecodingIntact();
    void bindIsRetriedWhileThePortIsHeld();

private:
    void startExchange(const QList<QNetworkAddressEntry> &entries);
    void send(const QByteArray &datagram);
    void runInWorker(const std::function<void()> &call);
    void holdWorker(QSemaphore &release);
    void pingTick();
    int overflowSocket();
    QJsonObject waitForState();
    QList<QByteArray> commandsSent();

    std::shared_ptr<FakeExchangeEnvironment::State> m_env;
    std::unique_ptr<DataExchange> m_exchange;
    std::unique_ptr<Receiver> m_receiver;
    QUdpSocket m_sender;
};

void DataExchangeTest::initTestCase() {
    QLoggingCategory::setFilterRules(QStringLiteral("zadar.net.debug=true"));
    previousHandler = qInstallMessageHandler(recordNetLog);
    QVERIFY(m_sender.bind(QHostAddress(QHostAddress::LocalHost), 0));
}

void DataExchangeTest::init() {
    m_env = std::make_shared<FakeExchangeEnvironment::State>();
    m_receiver = std::make_unique<Receiver>();
}

void DataExchangeTest::cleanup() {
    m_exchange.reset();
    takeNetLog();
}

void DataExchangeTest::startExchange(const QList<QNetworkAddressEntry> &entries) {
    m_env->setEntries(entries);
    m_exchange = std::make_unique<DataExchange>(std::make_unique<FakeExchangeEnvironment>(m_env));
    Receiver *receiver = m_receiver.get();
    connect(m_exchange->linkState(), &RetranslatorState::stateChanged, receiver,
            [receiver](const QJsonObject &state) { receiver->states << state; });
    connect(m_exchange.get(), &DataExchange::updateTransponderState, receiver,
            [receiver](const DataExchange::TransponderState &ts) {
                receiver->transponderIds << ts.transponderId;
                receiver->events << QStringLiteral("id %1").arg(ts.transponderId);
            });
    connect(m_exchange.get(), &DataExchange::remoteAppCommand, receiver, [receiver](const QJsonObject &command) {
        receiver->commands << command;
        receiver->events << "command";
    });
    runInWorker([] {});  // the start routine has run
}

void DataExchangeTest::send(const QByteArray &datagram) {
    QCOMPARE(m_sender.writeDatagram(datagram, QHostAddress::LocalHost, 11309), qint64(datagram.size()));
}

void DataExchangeTest::runInWorker(const std::function<void()> &call) {
    QMetaObject::invokeMethod(m_exchange.get(), call, Qt::BlockingQueuedConnection);
}

// Keeps the worker busy until `release` is released, so that what is sent meanwhile waits in the socket.
void DataExchangeTest::holdWorker(QSemaphore &release) {
    QSemaphore held;
    QMetaObject::invokeMethod(
        m_exchange.get(),
        [&release, &held] {
            held.release();
            release.acquire();
        },
        Qt::QueuedConnection);
    held.acquire();
}

void DataExchangeTest::pingTick() {
    QVERIFY(QMetaObject::invokeMethod(m_exchange.get(), "pingTimeout", Qt::BlockingQueuedConnection));
}

QJsonObject DataExchangeTest::waitForState() {
    const int before = m_receiver->states.size();
    if (!QTest::qWaitFor([&] { return m_receiver->states.size() > before; }, 5000))
        return {};
    return m_receiver->states.last();
}

// What was sent apart from discovery pings.
QList<QByteArray> DataExchangeTest::commandsSent() {
    QList<QByteArray> commands;
    const QList<SentDatagram> sent = m_env->takeSent();
    for (const SentDatagram &datagram : sent) {
        if (datagram.payload != "RERADOZ")
            commands << datagram.destination.toString().toUtf8() + " " + datagram.payload;
    }
    return commands;
}

void DataExchangeTest::pingsEveryQualifyingEntryInOrder() {
    startExchange({FakeExchangeEnvironment::entry("192.168.1.20", "255.255.255.0", "192.168.1.255"),
                   FakeExchangeEnvironment::entry("10.1.2.3", "255.255.0.0", "10.1.255.255")});
    pingTick();
    QList<QString> pings;
    for (const SentDatagram &datagram : m_env->takeSent()) {
        QCOMPARE(datagram.payload, QByteArray("RERADOZ"));
        pings << datagram.destination.toString();
    }
    QCOMPARE(pings, (QStringList{"192.168.1.255", "10.1.255.255", "192.168.1.255", "10.1.255.255"}));
    QStringList pingLines = takeNetLog().filter("Ping to ");
    QCOMPARE(pingLines, (QStringList{"Ping to 192.168.1.255", "Ping to 10.1.255.255", "Ping to 192.168.1.255",
                                     "Ping to 10.1.255.255"}));
}

void DataExchangeTest::statusFrameMakesTheLinkOnline() {
    startExchange({FakeExchangeEnvironment::entry("127.0.0.1", "255.0.0.0", "127.255.255.255")});
    send(statusFrame(10000));
    const QJsonObject state = waitForState();
    QCOMPARE(state, (QJsonObject{{"isOnline", true}, {"ipAddress", "127.0.0.1"}, {"globalRPMLimit", 10000}}));
    QCOMPARE(m_exchange->linkState()->state(), state);
    QCOMPARE(commandsSent(), QList<QByteArray>());
}

void DataExchangeTest::statusFrameReassertsADifferentGlobalLimit() {
    startExchange({FakeExchangeEnvironment::entry("127.0.0.1", "255.0.0.0", "127.255.255.255")});
    send(statusFrame(5000));
    QCOMPARE(waitForState().value("globalRPMLimit").toInt(), 5000);
    QCOMPARE(commandsSent(), QList<QByteArray>{"127.255.255.255 GLOBALRPMLIMIT:10000,-1"});
}

void DataExchangeTest::retranslatorNetworkIsTheFirstEntryHoldingTheSender() {
    startExchange({FakeExchangeEnvironment::entry("10.0.0.5", "255.255.255.0", "10.0.0.255"),
                   FakeExchangeEnvironment::entry("127.0.0.9", "255.255.255.0", "127.0.0.255"),
                   FakeExchangeEnvironment::entry("127.0.0.1", "255.0.0.0", "127.255.255.255")});
    send(statusFrame(5000));
    waitForState();
    QCOMPARE(commandsSent(), QList<QByteArray>{"127.0.0.255 GLOBALRPMLIMIT:10000,-1"});

    // Status frames are matched against the entries of the latest ping tick.
    m_env->setEntries({FakeExchangeEnvironment::entry("127.0.0.1", "255.0.0.0", "127.255.255.255")});
    pingTick();
    send(statusFrame(5000));
    waitForState();
    QCOMPARE(commandsSent(), QList<QByteArray>{"127.255.255.255 GLOBALRPMLIMIT:10000,-1"});
}

void DataExchangeTest::senderOutsideEveryNetworkGetsNoCommands() {
    startExchange({FakeExchangeEnvironment::entry("10.0.0.5", "255.255.255.0", "10.0.0.255")});
    send(statusFrame(5000));
    const QJsonObject state = waitForState();
    QCOMPARE(state.value("isOnline").toBool(), true);
    QCOMPARE(state.value("ipAddress").toString(), QString("127.0.0.1"));
    runInWorker([this] { m_exchange->setTransponderLimit(1234, 2500); });
    QCOMPARE(commandsSent(), QList<QByteArray>());
}

void DataExchangeTest::rememberedGlobalLimitIsReasserted() {
    startExchange({FakeExchangeEnvironment::entry("127.0.0.1", "255.0.0.0", "127.255.255.255")});
    runInWorker([this] { m_exchange->updateTranspondersLimits(5000, false); });
    send(statusFrame(5000));
    waitForState();
    QCOMPARE(commandsSent(), QList<QByteArray>());
    send(statusFrame(10000));
    waitForState();
    QCOMPARE(commandsSent(), QList<QByteArray>{"127.255.255.255 GLOBALRPMLIMIT:5000,-1"});
}

void DataExchangeTest::commandsBeforeTheFirstStatusAreDropped() {
    startExchange({FakeExchangeEnvironment::entry("127.0.0.1", "255.0.0.0", "127.255.255.255")});
    runInWorker([this] {
        m_exchange->updateTranspondersLimits(10000, true);
        m_exchange->setTransponderLimit(1234, 2500);
        m_exchange->resendToApps({});
    });
    QCOMPARE(commandsSent(), QList<QByteArray>{"127.255.255.255 {}"});
    send(statusFrame(10000));
    waitForState();
    QCOMPARE(commandsSent(), QList<QByteArray>());
}

void DataExchangeTest::transponderLimitsOnlyWithoutGlobalLimit() {
    startExchange({FakeExchangeEnvironment::entry("127.0.0.1", "255.0.0.0", "127.255.255.255")});
    send(statusFrame(10000));
    waitForState();
    runInWorker([this] {
        m_exchange->setTransponderLimit(1234, 2500);
        m_exchange->updateTranspondersLimits(5000);
        m_exchange->setTransponderLimit(1234, 2500);
        m_exchange->updateTranspondersLimits(10000, false);
        m_exchange->setTransponderLimit(-7, -1);
    });
    QCOMPARE(commandsSent(), (QList<QByteArray>{"127.255.255.255 TRANSPONDERRPMLIMIT:1234,2500",
                                                "127.255.255.255 GLOBALRPMLIMIT:5000,-1",
                                                "127.255.255.255 TRANSPONDERRPMLIMIT:-7,-1"}));
}

void DataExchangeTest::applicationCommandsGoToEveryNetwork() {
    startExchange({FakeExchangeEnvironment::entry("192.168.1.20", "255.255.255.0", "192.168.1.255"),
                   FakeExchangeEnvironment::entry("10.1.2.3", "255.255.0.0", "10.1.255.255")});
    m_env->takeSent();
    const QJsonObject command{{"appCommand", "transponderLimit"}, {"transponderId", 1234}, {"value", "p50"}};
    runInWorker([this, command] { m_exchange->resendToApps(command); });
    const QByteArray json = "{\"appCommand\":\"transponderLimit\",\"transponderId\":1234,\"value\":\"p50\"}";
    QCOMPARE(commandsSent(), (QList<QByteArray>{"192.168.1.255 " + json, "10.1.255.255 " + json}));
}

void DataExchangeTest::linkGoesOfflineAfterMoreThanThreeWholeSeconds() {
    startExchange({FakeExchangeEnvironment::entry("127.0.0.1", "255.0.0.0", "127.255.255.255")});
    m_env->setNowMs(1'000'900);
    send(statusFrame(5000));
    waitForState();
    const int notifications = m_receiver->states.size();

    m_env->setNowMs(1'003'999);  // 1003 - 1000 whole seconds: not more than 3
    pingTick();
    QTest::qWait(50);
    QCOMPARE(m_receiver->states.size(), notifications);

    m_env->setNowMs(1'004'000);
    pingTick();
    QCOMPARE(waitForState(), (QJsonObject{{"isOnline", false}, {"ipAddress", "127.0.0.1"}, {"globalRPMLimit", 5000}}));
    pingTick();  // already offline: no further merge
    QTest::qWait(50);
    QCOMPARE(m_receiver->states.size(), notifications + 1);

    send(statusFrame(5000));
    QCOMPARE(waitForState().value("isOnline").toBool(), true);
}

void DataExchangeTest::linkCheckDoesNothingBeforeAnyStatus() {
    startExchange({});
    m_env->setNowMs(4'000'000'000'000);
    pingTick();
    QTest::qWait(50);
    QCOMPARE(m_receiver->states.size(), 0);
    QCOMPARE(m_exchange->linkState()->state(), QJsonObject());
}

void DataExchangeTest::identicalStatusFramesNotifyTwice() {
    startExchange({FakeExchangeEnvironment::entry("127.0.0.1", "255.0.0.0", "127.255.255.255")});
    send(statusFrame(10000));
    send(statusFrame(10000));
    QTRY_COMPARE(m_receiver->states.size(), 2);
    QCOMPARE(m_receiver->states.at(0), m_receiver->states.at(1));
}

void DataExchangeTest::applicationCommandsAreReported() {
    startExchange({});
    send("{\"appCommand\":\"globalRpmLimit\",\"value\":\"p25\"}");
    send("{\"value\":\"p25\"}");
    send("{\"appCommand\":null}");
    QTRY_COMPARE(m_receiver->commands.size(), 2);
    QCOMPARE(m_receiver->commands.at(0).value("value").toString(), QString("p25"));
    QVERIFY(m_receiver->commands.at(1).value("appCommand").isNull());
}

void DataExchangeTest::burstArrivesInOrder() {
    startExchange({});
    QList<int> expected;
    for (int datagram = 0; datagram < 100; ++datagram) {
        QByteArray frames;
        for (int frame = 0; frame < 10; ++frame) {
            const int id = datagram * 10 + frame + 1;
            frames += transponderFrame(quint16(id), 3000, 10000, -50);
            expected << id;
        }
        send(frames);
    }
    QTRY_COMPARE(m_receiver->transponderIds.size(), expected.size());
    QCOMPARE(m_receiver->transponderIds, expected);
}

// Reports read before an application command reach the main thread before it, and those after it after it,
// also when all of them wait in the socket and are read in one go.
void DataExchangeTest::applicationCommandKeepsItsPlaceAmongReports() {
    startExchange({});
    QSemaphore release;
    holdWorker(release);
    send(transponderFrame(1, 3000, 10000, -50) + transponderFrame(2, 3000, 10000, -50));
    send("{\"appCommand\":\"globalRpmLimit\",\"value\":\"p25\"}");
    send(transponderFrame(3, 3000, 10000, -50));
    release.release();
    QTRY_COMPARE(m_receiver->events, (QStringList{"id 1", "id 2", "command", "id 3"}));
}

// A call queued to the worker while it reads a full socket runs after one bounded batch, not after the socket
// has been emptied.
void DataExchangeTest::queuedCallsRunBetweenBoundedBatches() {
    startExchange({});
    const int datagrams = 200;
    std::atomic<int> reports{0};
    std::atomic<int> reportsBeforeCall{-1};
    DataExchange *exchange = m_exchange.get();
    connect(
        exchange, &DataExchange::updateTransponderState, exchange,
        [&, exchange](const DataExchange::TransponderState &) {
            if (reports++ == 0)
                QMetaObject::invokeMethod(
                    exchange, [&] { reportsBeforeCall = reports.load(); }, Qt::QueuedConnection);
        },
        Qt::DirectConnection);
    QSemaphore release;
    holdWorker(release);
    for (int i = 0; i < datagrams; ++i)
        send(transponderFrame(quint16(i + 1), 3000, 10000, -50));
    release.release();
    QTRY_COMPARE(m_receiver->transponderIds.size(), datagrams);
    QVERIFY2(reportsBeforeCall > 0 && reportsBeforeCall <= 2 * DataExchange::maxDatagramsPerCall,
             qPrintable(QString::number(reportsBeforeCall)));
}

// While more hand-overs than the bound wait in the receiving thread, the worker keeps the next ones in its own
// queue and, once that is full, leaves datagrams in the socket; as that thread catches up, it hands over the rest,
// in order. A pause that loses nothing is not shedding load: no warning.
void DataExchangeTest::readingPausesWhileTheReceiverIsBehind() {
    startExchange({});
    std::atomic<int> emitted{0};
    connect(
        m_exchange.get(), &DataExchange::updateTransponderState, m_exchange.get(),
        [&emitted](const DataExchange::TransponderState &) { ++emitted; }, Qt::DirectConnection);
    const int framesPerDatagram = 10;
    const int datagrams = 150;
    for (int i = 0; i < datagrams; ++i) {
        QByteArray frames;
        for (int frame = 0; frame < framesPerDatagram; ++frame)
            frames += transponderFrame(quint16(i * framesPerDatagram + frame + 1), 3000, 10000, -50);
        send(frames);
    }
    // This thread runs no events meanwhile, so nothing handed over is taken.
    QTest::qSleep(300);
    QVERIFY2(emitted > DataExchange::maxPendingHandOvers &&
                 emitted <= DataExchange::maxPendingHandOvers + DataExchange::maxFramesPerCall,
             qPrintable(QString::number(emitted)));

    QTRY_COMPARE(m_receiver->transponderIds.size(), datagrams * framesPerDatagram);
    QList<int> expected;
    for (int id = 1; id <= datagrams * framesPerDatagram; ++id)
        expected << id;
    QCOMPARE(m_receiver->transponderIds, expected);
    pingTick();
    QVERIFY(sheddingLog().isEmpty());
}

// Overflows the socket's receive buffer, so that the kernel drops datagrams and the console starts shedding load;
// returns how many of the 200 reports sent reached this thread.
int DataExchangeTest::overflowSocket() {
    // Datagrams of one report each, padded to 60000 bytes: 200 are more than the receive buffer holds.
    QSemaphore release;
    holdWorker(release);
    for (int id = 1; id <= 200; ++id)
        m_sender.writeDatagram(transponderFrame(quint16(id), 3000, 10000, -50).leftJustified(60000, '\0'),
                               QHostAddress::LocalHost, 11309);
    release.release();
    QTest::qWait(500);
    pingTick();
    return m_receiver->transponderIds.size();
}

// Load is shed when the kernel drops datagrams at the socket: the console says so once as it starts, and a second
// after the last drop it says it has caught up and what it lost, in datagrams and in reports.
void DataExchangeTest::droppedDatagramsAreSheddingLoad() {
    startExchange({});
    const int kept = overflowSocket();
    QVERIFY2(kept > 4 && kept < 200, qPrintable(QString::number(kept)));
    QCOMPARE(sheddingLog(), QStringList{QStringLiteral("Reports arrive faster than the console takes them: reports "
                                                       "beyond the %1 that may wait are dropped")
                                            .arg(DataExchange::maxWaitingReports)});
    const qint64 lastDrop = m_env->nowMs;
    m_env->setNowMs(lastDrop + 999);
    pingTick();
    QVERIFY(sheddingLog().isEmpty());
    m_env->setNowMs(lastDrop + 1000);
    pingTick();
    const QStringList end = sheddingLog();
    QCOMPARE(end.size(), 1);
    const QRegularExpressionMatch counts =
        QRegularExpression(
            "^Caught up with the LAN after shedding load for 0 ms \\((\\d+) datagrams and (\\d+) reports "
            "dropped\\)$")
            .match(end.first());
    QVERIFY2(counts.hasMatch(), qPrintable(end.first()));
    QVERIFY(counts.captured(1).toInt() > 0);
    QCOMPARE(counts.captured(1).toInt() + counts.captured(2).toInt(), 200 - kept);
}

// While shedding load the worker keeps the socket empty, where the kernel would drop anything: a burst that fits
// its queue is kept whole, and of a flood it drops reports only, so an application command and a status frame
// behind it still arrive, in order.
void DataExchangeTest::controlDatagramsGetThroughWhileShedding() {
    startExchange({});
    overflowSocket();
    QCOMPARE(sheddingLog().size(), 1);
    std::atomic<int> emitted{0};
    connect(
        m_exchange.get(), &DataExchange::updateTransponderState, m_exchange.get(),
        [&emitted](const DataExchange::TransponderState &) { ++emitted; }, Qt::DirectConnection);
    const auto sendReports = [this](int firstId, int count) {
        for (int id = firstId; id < firstId + count; ++id)
            send(transponderFrame(quint16(id), 3000, 10000, -50));
    };
    // This thread runs no events while a burst arrives, so everything handed over waits.
    int kept = m_receiver->transponderIds.size();
    sendReports(1001, 600);
    QTest::qSleep(300);
    QVERIFY2(emitted <= DataExchange::maxPendingHandOvers + 1, qPrintable(QString::number(emitted)));
    QTRY_COMPARE(m_receiver->transponderIds.size(), kept + 600);

    kept = m_receiver->transponderIds.size();
    emitted = 0;
    sendReports(2001, 1500);
    send("{\"appCommand\":\"globalRpmLimit\",\"value\":\"p25\"}");
    send(statusFrame(2500));
    sendReports(4001, 300);
    QTest::qSleep(500);
    QVERIFY2(emitted <= DataExchange::maxPendingHandOvers + 1, qPrintable(QString::number(emitted)));
    const int delivered = emitted + DataExchange::maxWaitingReports;
    QTRY_COMPARE(m_receiver->commands.size(), 1);
    QTRY_COMPARE(m_receiver->states.size(), 1);
    QCOMPARE(m_receiver->states.first().value("globalRPMLimit").toInt(), 2500);
    QCOMPARE(m_receiver->transponderIds.size(), kept + delivered);
    QCOMPARE(m_receiver->transponderIds.last(), 2000 + delivered);
    QCOMPARE(m_receiver->events.last(), "command");
}

void DataExchangeTest::waitingHandOversKeepTheirOrderAsTheQueueWrapsAndGrows() {
    HandOverQueue queue(4);
    int next = 0;
    QList<int> taken;
    const auto push = [&](int count) {
        for (int i = 0; i < count; ++i, ++next)
            queue.push({HandOver::Report, {next, 0, 0, 0}, {}});
    };
    const auto take = [&](int count) {
        for (int i = 0; i < count; ++i)
            taken << queue.take().report.transponderId;
    };
    push(3);
    take(2);
    push(3);  // wraps round
    push(5);  // grows from 4 to 8, then to 16
    take(queue.size());
    QList<int> expected;
    for (int id = 0; id < next; ++id)
        expected << id;
    QCOMPARE(taken, expected);
    QVERIFY(queue.isEmpty());
}

void DataExchangeTest::badInputLeavesDecodingIntact() {
    startExchange({});
    QByteArray random(65507, Qt::Uninitialized);
    QRandomGenerator generator(11309);
    for (char &byte : random)
        byte = char(generator.bounded(256));
    send(random);
    send(QByteArray("\xC3\x28\xA0\xA1\xE2\x28\xA1\xF0\x90\x28\xBC"));
    send(QByteArray(32000, '[') + QByteArray(32000, ']'));
    send(QByteArray("{\"appCommand\":") + QByteArray(30000, '{'));
    send(QByteArray(1000, '\0'));
    send(transponderFrame(4242, 1, 2, 3));
    QTRY_VERIFY(m_receiver->transponderIds.contains(4242));
    QCOMPARE(m_receiver->commands.size(), 0);
}

void DataExchangeTest::bindIsRetriedWhileThePortIsHeld() {
    auto holder = std::make_unique<QUdpSocket>();
    QVERIFY(holder->bind(QHostAddress::AnyIPv4, 11309));
    startExchange({});
    const QStringList warnings = takeNetLog().filter("Cannot bind UDP port 11309");
    QCOMPARE(warnings.size(), 1);
    pingTick();
    QCOMPARE(takeNetLog().filter("Cannot bind").size(), 0);  // warned once, not at every retry

    holder.reset();
    pingTick();
    QCOMPARE(takeNetLog().filter("Bound UDP port 11309").size(), 1);
    send(transponderFrame(77, 1, 2, 3));
    QTRY_COMPARE(m_receiver->transponderIds, QList<int>{77});
}

QTEST_GUILESS_MAIN(DataExchangeTest)
#include "tst_dataexchange.moc"
