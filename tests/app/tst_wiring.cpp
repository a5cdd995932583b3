#include <QJsonDocument>
#include <QUdpSocket>
#include <QtTest>

#include "app/wiring.h"
#include "fakeexchangeenvironment.h"
#include "frames.h"
#include "isolatedsettings.h"
#include "models/applicationsettingsmodel.h"
#include "models/transponderslistmodel.h"
#include "net/dataexchange.h"

using namespace TestFrames;

// The console's core objects wired as the program wires them: the exchange in its worker thread with a real
// socket on port 11309 (datagrams come in over loopback, what it sends is captured), the live list and the
// settings store in the main thread.
class WiringTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void reportsReachTheListInOrderAndNewRowsRequestTheirTargets();
    void globalModeReachesTheRetranslatorAndTheOtherConsolesOnce();
    void modeFromAnotherConsoleIsAssertedButNotPassedOn();
    void rowLimitRequestsKeepTheirOrder();
    void newRpmSettingsChangeTheNextCommand();

private:
    void send(const QByteArray &datagram);
    void waitUntilOnline();
    // Waits until `count` commands (anything but discovery pings) were sent, then returns them all.
    QList<QByteArray> waitForCommands(int count);
    QList<int> rowIds() const;

    std::unique_ptr<IsolatedSettings> m_store;
    std::shared_ptr<FakeExchangeEnvironment::State> m_env;
    std::unique_ptr<DataExchange> m_exchange;
    std::unique_ptr<ApplicationSettingsModel> m_settings;
    std::unique_ptr<TranspondersListModel> m_liveList;
    QList<QByteArray> m_commands;
    QUdpSocket m_sender;
};

void WiringTest::initTestCase() {
    QVERIFY(m_sender.bind(QHostAddress(QHostAddress::LocalHost), 0));
}

void WiringTest::init() {
    m_store = std::make_unique<IsolatedSettings>();
    m_env = std::make_shared<FakeExchangeEnvironment::State>();
    m_env->setEntries({FakeExchangeEnvironment::entry("127.0.0.1", "255.0.0.0", "127.255.255.255"),
                       FakeExchangeEnvironment::entry("192.168.77.20", "255.255.255.0", "192.168.77.255")});
    m_exchange = std::make_unique<DataExchange>(std::make_unique<FakeExchangeEnvironment>(m_env));
    // Returns once the worker has started: the socket is bound.
    QMetaObject::invokeMethod(
        m_exchange.get(), [] {}, Qt::BlockingQueuedConnection);
    m_settings = std::make_unique<ApplicationSettingsModel>();
    m_liveList = std::make_unique<TranspondersListModel>([] { return qint64(1'700'000'000'000); });
    connectSettingsToLiveList(*m_settings, *m_liveList);
    m_liveList->loadRpmSettings(m_settings->rpmSettings());
    connectExchangeAndLiveList(*m_exchange, *m_liveList);
    m_commands.clear();
}

void WiringTest::cleanup() {
    m_exchange.reset();
    m_liveList.reset();
    m_settings.reset();
    m_store.reset();
}

void WiringTest::send(const QByteArray &datagram) {
    QCOMPARE(m_sender.writeDatagram(datagram, QHostAddress::LocalHost, 11309), qint64(datagram.size()));
}

void WiringTest::waitUntilOnline() {
    send(statusFrame(10000));
    QTRY_VERIFY(m_exchange->linkState()->state().value("isOnline").toBool());
}

QList<QByteArray> WiringTest::waitForCommands(int count) {
    // The caller compares what came; a shortfall shows there.
    (void)QTest::qWaitFor(
        [&] {
            for (const SentDatagram &datagram : m_env->takeSent()) {
                if (datagram.payload != "RERADOZ")
                    m_commands << datagram.destination.toString().toUtf8() + " " + datagram.payload;
            }
            return m_commands.size() >= count;
        },
        5000);
    return m_commands;
}

QList<int> WiringTest::rowIds() const {
    QList<int> ids;
    for (int row = 0; row < m_liveList->rowCount(); ++row)
        ids << m_liveList->index(row).data(TranspondersListModel::TransponderIdRole).toInt();
    return ids;
}

void WiringTest::reportsReachTheListInOrderAndNewRowsRequestTheirTargets() {
    waitUntilOnline();
    QList<int> ids;
    QList<QByteArray> requests;
    for (int datagram = 0; datagram < 50; ++datagram) {
        QByteArray frames;
        for (int frame = 0; frame < 4; ++frame) {
            const int id = 1000 + datagram * 4 + frame;
            frames += transponderFrame(quint16(id), 6000, 3000, -60);
            ids << id;
            requests << "127.255.255.255 TRANSPONDERRPMLIMIT:" + QByteArray::number(id) + ",10000";
        }
        send(frames);
    }
    QTRY_COMPARE(m_liveList->rowCount(), ids.size());
    QCOMPARE(rowIds(), ids);
    QCOMPARE(waitForCommands(requests.size()), requests);

    // A known kart that already reports its target asks for nothing; its values are updated in place.
    send(transponderFrame(1000, 7100, 10000, -45));
    QTRY_COMPARE(m_liveList->index(0).data(TranspondersListModel::RpmValueRole).toInt(), 7100);
    QCOMPARE(m_liveList->index(0).data(TranspondersListModel::RssiValueRole).toInt(), -45);
    QVERIFY(m_liveList->index(0).data(TranspondersListModel::LimitOkRole).toBool());
    QTest::qWait(50);
    QCOMPARE(waitForCommands(0).size(), requests.size());
}

void WiringTest::globalModeReachesTheRetranslatorAndTheOtherConsolesOnce() {
    waitUntilOnline();
    QSignalSpy modeChanges(m_liveList.get(), &TranspondersListModel::limitModeChanged);
    m_liveList->setProperty("limitMode", "p50");  // as the main screen's "50%" button does
    const QByteArray command = R"({"appCommand":"globalRpmLimit","value":"p50"})";
    QCOMPARE(waitForCommands(3), (QList<QByteArray>{"127.255.255.255 GLOBALRPMLIMIT:3000,-1",
                                                    "127.255.255.255 " + command, "192.168.77.255 " + command}));
    QCOMPARE(modeChanges.count(), 0);

    // The broadcast comes back to this console too: applied, but neither sent to the retranslator nor passed on.
    send(command);
    QTRY_COMPARE(modeChanges.count(), 1);
    QCOMPARE(modeChanges.at(0).at(0).toString(), QString("p50"));
    send(statusFrame(3000));  // the retranslator took it: nothing to re-assert
    QTRY_COMPARE(m_exchange->linkState()->state().value("globalRPMLimit").toInt(), 3000);
    QCOMPARE(waitForCommands(0).size(), 3);

    send(statusFrame(10000));  // the retranslator lost it: asserted again
    QCOMPARE(waitForCommands(4).mid(3), QList<QByteArray>{"127.255.255.255 GLOBALRPMLIMIT:3000,-1"});
}

void WiringTest::modeFromAnotherConsoleIsAssertedButNotPassedOn() {
    waitUntilOnline();
    send(R"({"appCommand":"globalRpmLimit","value":"p0"})");
    QTRY_COMPARE(m_liveList->limitMode(), QString("p0"));
    QTest::qWait(50);
    QCOMPARE(waitForCommands(0), QList<QByteArray>());

    // The exchange recorded the engine stop: the next status frame with another limit re-asserts it.
    send(statusFrame(10000));
    QCOMPARE(waitForCommands(1), QList<QByteArray>{"127.255.255.255 GLOBALRPMLIMIT:0,-1"});
}

void WiringTest::rowLimitRequestsKeepTheirOrder() {
    waitUntilOnline();
    send(transponderFrame(11, 5000, 10000, -50) + transponderFrame(22, 5000, 10000, -50) +
         transponderFrame(33, 5000, 10000, -50));
    QTRY_COMPARE(m_liveList->rowCount(), 3);
    QCOMPARE(waitForCommands(3).size(), 3);  // every new row asks once for its target
    m_commands.clear();
    const char *modes[] = {"p25", "p0", "p50"};
    for (int row = 2; row >= 0; --row)
        QVERIFY(m_liveList->setData(m_liveList->index(row), modes[row], TranspondersListModel::LimitModeRole));

    QList<QByteArray> expected;
    const QList<QPair<int, int>> targets{{33, 3000}, {22, 0}, {11, 2300}};
    for (int i = 0; i < targets.size(); ++i) {
        const int id = targets.at(i).first;
        const QByteArray json =
            QJsonDocument(
                QJsonObject{{"appCommand", "transponderLimit"}, {"transponderId", id}, {"value", modes[2 - i]}})
                .toJson(QJsonDocument::Compact);
        expected << "127.255.255.255 " + json << "192.168.77.255 " + json
                 << "127.255.255.255 TRANSPONDERRPMLIMIT:" + QByteArray::number(id) + "," +
                        QByteArray::number(targets.at(i).second);
    }
    QCOMPARE(waitForCommands(expected.size()), expected);
}

void WiringTest::newRpmSettingsChangeTheNextCommand() {
    waitUntilOnline();
    m_settings->updateSettings("rpmSettings", {{"p50RpmValue", 3500}});
    QCOMPARE(m_liveList->rpmLimits().value("p50").toInt(), 3500);
    m_liveList->setLimitMode("p50");
    QCOMPARE(waitForCommands(1).first(), QByteArray("127.255.255.255 GLOBALRPMLIMIT:3500,-1"));

    // A restart reads the stored value back into the limit table.
    m_liveList->loadRpmSettings(ApplicationSettingsModel().rpmSettings());
    QCOMPARE(m_liveList->rpmLimits().value("p50").toInt(), 3500);
}

QTEST_GUILESS_MAIN(WiringTest)
#include "tst_wiring.moc"
