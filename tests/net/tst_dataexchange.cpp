#include <QJsonDocument>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QUdpSocket>
#include <QtTest>
#include <mutex>

#include "categorylog.h"
#include "fakeexchangeenvironment.h"
#include "frames.h"
#include "net/dataexchange.h"
#include "net/waitinghandovers.h"

using namespace TestFrames;

namespace {

const QHostAddress loopbackBroadcast(QStringLiteral("127.255.255.255"));

// The exchange's log lines, from whichever thread writes them.
std::unique_ptr<CategoryLog> netLog;

QStringList takeNetLog() {
    return netLog->take();
}

QStringList mergingLog() {
    return takeNetLog().filter(QRegularExpression("^warning: (Reports arrive faster|Caught up)"));
}

// Collects link-state notifications and transponder reports in the main thread.
class Receiver : public QObject {
public:
    QList<QJsonObject> states;
    QList<int> transponderIds;
    QHash<int, QList<int>> rpmsById;
    QList<QJsonObject> commands;
    QStringList events;         // reports ("id 1") and application commands ("command") in arrival order
    QStringList recordSignals;  // what the exchange tells the event record
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
    void waitingHandOversKeepTheLatestReportOfEachKart();
    void onlyTheLatestReportOfEachKartWaitsWhileTheMainThreadIsBehind();
    void applicationCommandsAreNeitherMergedNorDropped();
    void badInputLeavesDecodingIntact();
    void bindIsRetriedWhileThePortIsHeld();

private:
    void startExchange(const QList<QNetworkAddressEntry> &entries);
    void send(const QByteArray &datagram);
    void runInWorker(const std::function<void()> &call);
    void holdWorker(QSemaphore &release);
    void pingTick();
    void countEmissionsInWorker();
    QJsonObject waitForState();
    QList<QByteArray> commandsSent();

    std::shared_ptr<FakeExchangeEnvironment::State> m_env;
    std::unique_ptr<DataExchange> m_exchange;
    std::unique_ptr<Receiver> m_receiver;
    std::shared_ptr<std::atomic<int>> m_emitted;
    QUdpSocket m_sender;
};

void DataExchangeTest::initTestCase() {
    QLoggingCategory::setFilterRules(QStringLiteral("zadar.net.debug=true"));
    netLog = std::make_unique<CategoryLog>("zadar.net");
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
                receiver->rpmsById[ts.transponderId] << ts.rpmValue;
                receiver->events << QStringLiteral("id %1").arg(ts.transponderId);
            });
    connect(m_exchange.get(), &DataExchange::remoteAppCommand, receiver,
            [receiver](const QJsonObject &command, const QString &address, bool own) {
                receiver->commands << command;
                receiver->events << "command";
                receiver->recordSignals << QString("sender %1%2").arg(address, own ? " own" : "");
            });
    connect(m_exchange.get(), &DataExchange::globalLimitReasserted, receiver,
            [receiver](int limit, int reported, const QString &address) {
                receiver->recordSignals << QString("reasserted %1 %2 %3").arg(limit).arg(reported).arg(address);
            });
    connect(m_exchange.get(), &DataExchange::mergingEnded, receiver, [receiver](qint64 ms, qint64 replaced) {
        receiver->recordSignals << QString("mergingEnded %1 %2").arg(ms).arg(replaced);
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
    QCOMPARE(pingLines, (QStringList{"debug: Ping to 192.168.1.255", "debug: Ping to 10.1.255.255",
                                     "debug: Ping to 192.168.1.255", "debug: Ping to 10.1.255.255"}));
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
    QCOMPARE(m_receiver->recordSignals, QStringList{"reasserted 10000 5000 127.0.0.1"});
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
    QCOMPARE(m_receiver->recordSignals, QStringList());  // nothing was sent, so nothing was asserted
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

// Each command comes with its sender, which is this console when the address is one of the networks it pinged.
void DataExchangeTest::applicationCommandsAreReported() {
    startExchange({FakeExchangeEnvironment::entry("127.0.0.1", "255.0.0.0", "127.255.255.255")});
    send("{\"appCommand\":\"globalRpmLimit\",\"value\":\"p25\"}");
    send("{\"value\":\"p25\"}");
    QTRY_COMPARE(m_receiver->commands.size(), 1);
    m_env->setEntries({FakeExchangeEnvironment::entry("10.0.0.5", "255.255.255.0", "10.0.0.255")});
    pingTick();
    send("{\"appCommand\":null}");
    QTRY_COMPARE(m_receiver->commands.size(), 2);
    QCOMPARE(m_receiver->commands.at(0).value("value").toString(), QString("p25"));
    QVERIFY(m_receiver->commands.at(1).value("appCommand").isNull());
    QCOMPARE(m_receiver->recordSignals, (QStringList{"sender 127.0.0.1 own", "sender 127.0.0.1"}));
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

// Counts in m_emitted, in the worker thread, the reports and commands emitted towards this thread.
void DataExchangeTest::countEmissionsInWorker() {
    auto emitted = std::make_shared<std::atomic<int>>(0);
    const auto count = [emitted] { ++*emitted; };
    connect(m_exchange.get(), &DataExchange::updateTransponderState, m_exchange.get(), count, Qt::DirectConnection);
    connect(m_exchange.get(), &DataExchange::remoteAppCommand, m_exchange.get(), count, Qt::DirectConnection);
    m_emitted = emitted;
}

void DataExchangeTest::waitingHandOversKeepTheLatestReportOfEachKart() {
    const auto report = [](int id, int rpm) { return HandOver{HandOver::Report, {id, rpm, 0, 0}, {}}; };
    const auto command = [](const char *name) {
        return HandOver{HandOver::ApplicationCommand, {}, {{"appCommand", name}}};
    };
    WaitingHandOvers waiting;
    QVERIFY(!waiting.add(report(1, 100)));
    QVERIFY(!waiting.add({HandOver::LinkState, {}, {{"isOnline", true}, {"globalRPMLimit", 5000}}}));
    QVERIFY(!waiting.add(report(2, 200)));
    QVERIFY(!waiting.add(command("a")));
    QVERIFY(waiting.add(report(1, 101)));
    QVERIFY(!waiting.add({HandOver::LinkState, {}, {{"isOnline", false}}}));
    QVERIFY(!waiting.add(command("a")));
    QCOMPARE(waiting.applicationCommands(), 2);
    QStringList taken;
    const auto take = [&] {
        const HandOver item = waiting.takeFirst();
        taken << (item.kind == HandOver::Report
                      ? QString("%1:%2").arg(item.report.transponderId).arg(item.report.rpmValue)
                      : QString::fromUtf8(QJsonDocument(item.json).toJson(QJsonDocument::Compact)));
    };
    take();
    QVERIFY(!waiting.add(report(1, 102)));  // the one that waited has gone: this one queues at the end
    while (!waiting.isEmpty())
        take();
    QCOMPARE(taken, (QStringList{"1:101", "{\"globalRPMLimit\":5000,\"isOnline\":false}", "2:200",
                                 "{\"appCommand\":\"a\"}", "{\"appCommand\":\"a\"}", "1:102"}));
    QCOMPARE(waiting.applicationCommands(), 0);
}

// While the main thread takes nothing, reports of the same karts replace each other in the worker: each kart's
// latest report arrives once the main thread catches up, no kart's reports arrive out of order, and the console
// says once that it merges and, a second after the last replacement, how many reports it replaced.
void DataExchangeTest::onlyTheLatestReportOfEachKartWaitsWhileTheMainThreadIsBehind() {
    startExchange({FakeExchangeEnvironment::entry("127.0.0.1", "255.0.0.0", "127.255.255.255")});
    countEmissionsInWorker();
    const int karts = 10;
    const int rounds = 300;
    for (int round = 1; round <= rounds; ++round) {
        QByteArray frames;
        for (int id = 1; id <= karts; ++id)
            frames += transponderFrame(quint16(id), quint16(round), 10000, -50);
        send(frames);
        if (round == rounds / 2) {
            send("{\"appCommand\":\"globalRpmLimit\",\"value\":\"p25\"}");
            send(statusFrame(5000));
        }
    }
    send(statusFrame(2500));
    // This thread runs no events meanwhile, so nothing handed over is taken.
    QTest::qSleep(300);
    QVERIFY2(*m_emitted <= DataExchange::maxHandOversInFlight + 1, qPrintable(QString::number(*m_emitted)));

    QTRY_COMPARE(m_receiver->states.size(), 1);
    QCOMPARE(m_receiver->states.first().value("globalRPMLimit").toInt(), 2500);
    QCOMPARE(m_receiver->commands.size(), 1);
    for (int id = 1; id <= karts; ++id) {
        QTRY_COMPARE(m_receiver->rpmsById.value(id).last(), rounds);
        const QList<int> rpms = m_receiver->rpmsById.value(id);
        QVERIFY2(std::is_sorted(rpms.begin(), rpms.end()), qPrintable(QString::number(id)));
    }
    QCOMPARE(m_receiver->states.size(), 1);
    const int delivered = m_receiver->transponderIds.size();
    QVERIFY2(delivered < 200, qPrintable(QString::number(delivered)));

    QCOMPARE(mergingLog(), QStringList{"warning: Reports arrive faster than the console takes them: only the latest "
                                       "report of each kart waits"});
    m_env->setNowMs(m_env->nowMs + 999);
    pingTick();
    QVERIFY(mergingLog().isEmpty());
    m_env->setNowMs(m_env->nowMs + 1);
    pingTick();
    QCOMPARE(mergingLog(), QStringList{QString("warning: Caught up with the LAN after merging reports for 0 ms (%1 "
                                               "reports replaced by a newer one of the same kart)")
                                           .arg(karts * rounds - delivered)});
    QTRY_COMPARE(m_receiver->recordSignals.filter("mergingEnded"),
                 QStringList{QString("mergingEnded 0 %1").arg(karts * rounds - delivered)});
}

// Application commands queue whole while the main thread is behind, and beyond a thousand reading waits for them
// instead of dropping any: every command arrives, in order, and reading goes on.
void DataExchangeTest::applicationCommandsAreNeitherMergedNorDropped() {
    startExchange({});
    countEmissionsInWorker();
    const int commands = DataExchange::maxWaitingCommands + 200;
    for (int i = 0; i < commands; ++i)
        send(QString("{\"appCommand\":\"globalRpmLimit\",\"value\":\"%1\"}").arg(i).toUtf8());
    send(transponderFrame(4242, 1, 2, 3));
    QTest::qSleep(300);
    QVERIFY2(*m_emitted <= DataExchange::maxHandOversInFlight + 1, qPrintable(QString::number(*m_emitted)));

    QTRY_COMPARE(m_receiver->transponderIds, QList<int>{4242});
    QCOMPARE(m_receiver->commands.size(), commands);
    for (int i = 0; i < commands; ++i)
        QCOMPARE(m_receiver->commands.at(i).value("value").toString(), QString::number(i));
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
