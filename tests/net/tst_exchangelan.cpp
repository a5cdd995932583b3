#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtTest>

#include "frames.h"
#include "net/dataexchange.h"
#include "netns.h"

// The exchange with its real socket and real interface enumeration on a virtual LAN built by the harness: the
// exchange runs on host A, a peer socket on port 11309 stands for the retranslator on host B.
class ExchangeLanTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void pingsTheLanBroadcastAddressAtStart();
    void statusFrameBringsTheLinkOnlineAndAReassertion();
    void commandsGoToTheRetranslatorsNetwork();
    void transponderFramesAreReported();

private:
    QList<QNetworkDatagram> waitForDatagrams(const QByteArray &prefix, int count = 1);
    void broadcastFromPeer(const QByteArray &datagram);

    LanHost m_hostA;
    LanHost m_hostB;
    QHostAddress m_broadcast;
    std::unique_ptr<QUdpSocket> m_peer;
    std::unique_ptr<DataExchange> m_exchange;
    QList<QNetworkDatagram> m_received;
    QList<QJsonObject> m_states;
    QList<int> m_transponderIds;
};

void ExchangeLanTest::initTestCase() {
    if (!LanHost::unavailable().isEmpty())
        QSKIP(qPrintable(LanHost::unavailable()));
    m_hostA = LanHost::fromEnvironment("a");
    m_hostB = LanHost::fromEnvironment("b");
    m_broadcast = LanHost::broadcast();

    QVERIFY(m_hostB.enter());
    m_peer = std::make_unique<QUdpSocket>();
    QVERIFY(m_peer->bind(QHostAddress::AnyIPv4, 11309));
    connect(m_peer.get(), &QUdpSocket::readyRead, this, [this] {
        while (m_peer->hasPendingDatagrams()) {
            const QNetworkDatagram datagram = m_peer->receiveDatagram();
            if (datagram.senderAddress() != m_hostB.address)
                m_received << datagram;
        }
    });

    QVERIFY(m_hostA.enter());
    m_exchange = std::make_unique<DataExchange>();
    QVERIFY(LanHost::leave());
    connect(m_exchange->linkState(), &RetranslatorState::stateChanged, this,
            [this](const QJsonObject &state) { m_states << state; });
    connect(m_exchange.get(), &DataExchange::updateTransponderState, this,
            [this](const DataExchange::TransponderState &ts) { m_transponderIds << ts.transponderId; });
}

void ExchangeLanTest::cleanupTestCase() {
    m_exchange.reset();
    m_peer.reset();
}

QList<QNetworkDatagram> ExchangeLanTest::waitForDatagrams(const QByteArray &prefix, int count) {
    QList<QNetworkDatagram> matching;
    // The caller checks how many came.
    (void)QTest::qWaitFor(
        [&] {
            matching.clear();
            for (const QNetworkDatagram &datagram : qAsConst(m_received)) {
                if (datagram.data().startsWith(prefix))
                    matching << datagram;
            }
            return matching.size() >= count;
        },
        5000);
    return matching;
}

void ExchangeLanTest::broadcastFromPeer(const QByteArray &datagram) {
    QCOMPARE(m_peer->writeDatagram(datagram, m_broadcast, 11309), qint64(datagram.size()));
}

void ExchangeLanTest::pingsTheLanBroadcastAddressAtStart() {
    const QList<QNetworkDatagram> pings = waitForDatagrams("RERADOZ");
    QCOMPARE(pings.size(), 1);
    QCOMPARE(pings.first().data(), QByteArray("RERADOZ"));
    QCOMPARE(pings.first().senderAddress(), m_hostA.address);
    QCOMPARE(pings.first().senderPort(), 11309);
    QCOMPARE(pings.first().destinationAddress(), m_broadcast);
}

void ExchangeLanTest::statusFrameBringsTheLinkOnlineAndAReassertion() {
    broadcastFromPeer(TestFrames::statusFrame(5000));
    QTRY_VERIFY(!m_states.isEmpty());
    QCOMPARE(m_states.last(),
             (QJsonObject{{"isOnline", true}, {"ipAddress", m_hostB.address.toString()}, {"globalRPMLimit", 5000}}));
    const QList<QNetworkDatagram> commands = waitForDatagrams("GLOBALRPMLIMIT");
    QCOMPARE(commands.size(), 1);
    QCOMPARE(commands.first().data(), QByteArray("GLOBALRPMLIMIT:10000,-1"));
    QCOMPARE(commands.first().destinationAddress(), m_broadcast);
    QCOMPARE(commands.first().senderPort(), 11309);
}

void ExchangeLanTest::commandsGoToTheRetranslatorsNetwork() {
    QMetaObject::invokeMethod(
        m_exchange.get(),
        [this] {
            m_exchange->setTransponderLimit(1234, 2500);
            m_exchange->resendToApps({{"appCommand", "globalRpmLimit"}, {"value", "p50"}});
        },
        Qt::QueuedConnection);
    const QList<QNetworkDatagram> limits = waitForDatagrams("TRANSPONDERRPMLIMIT");
    QCOMPARE(limits.size(), 1);
    QCOMPARE(limits.first().data(), QByteArray("TRANSPONDERRPMLIMIT:1234,2500"));
    QCOMPARE(limits.first().destinationAddress(), m_broadcast);
    const QList<QNetworkDatagram> appCommands = waitForDatagrams("{");
    QCOMPARE(appCommands.size(), 1);
    QCOMPARE(appCommands.first().data(), QByteArray("{\"appCommand\":\"globalRpmLimit\",\"value\":\"p50\"}"));
    QCOMPARE(appCommands.first().destinationAddress(), m_broadcast);
}

void ExchangeLanTest::transponderFramesAreReported() {
    broadcastFromPeer(TestFrames::transponderFrame(31, 4000, 10000, -70) +
                      TestFrames::transponderFrame(32, 4100, 10000, -71));
    QTRY_COMPARE(m_transponderIds, (QList<int>{31, 32}));
}

QTEST_GUILESS_MAIN(ExchangeLanTest)
#include "tst_exchangelan.moc"
