#include <QLoggingCategory>
#include <QSemaphore>
#include <QUdpSocket>
#include <QtTest>
#include <atomic>

#include "countingnew.h"
#include "fakeexchangeenvironment.h"
#include "frames.h"
#include "net/dataexchange.h"
#include "net/datagramdecoder.h"
#include "net/protocol.h"

// The exchange's worker from the socket to the emission of each report: reading, decoding and emitting make no
// allocation per datagram. (A queued connection into another thread then allocates one event per report; that
// is Qt's delivery, counted by the ingest benchmark.)
class ReceiveAllocationsTest : public QObject {
    Q_OBJECT

private slots:
    void drainingABurstAllocatesNothingPerDatagram();
};

void ReceiveAllocationsTest::drainingABurstAllocatesNothingPerDatagram() {
    QLoggingCategory::setFilterRules(QStringLiteral("zadar.net.debug=false"));
    DataExchange exchange(
        std::make_unique<FakeExchangeEnvironment>(std::make_shared<FakeExchangeEnvironment::State>()));
    std::atomic<long> reports{0};
    // Direct: counted in the worker thread as each report is emitted.
    connect(
        &exchange, &DataExchange::updateTransponderState, &exchange,
        [&reports](const DataExchange::TransponderState &) { ++reports; }, Qt::DirectConnection);
    // The worker has bound its socket once a call queued to it returns.
    QMetaObject::invokeMethod(
        &exchange, [] {}, Qt::BlockingQueuedConnection);
    QUdpSocket sender;
    QVERIFY(sender.bind(QHostAddress(QHostAddress::LocalHost), 0));
    const auto datagram = [](int id) { return TestFrames::transponderFrame(quint16(id), 5000, 10000, -60); };

    // The worker waits while the burst fills its socket, then drains it in bounded batches.
    QSemaphore release;
    QSemaphore held;
    QMetaObject::invokeMethod(
        &exchange,
        [&release, &held] {
            CountingNew::threadAllocations = 0;
            held.release();
            release.acquire();
        },
        Qt::QueuedConnection);
    held.acquire();
    const int datagrams = 1000;
    for (int i = 0; i < datagrams; ++i)
        QCOMPARE(sender.writeDatagram(datagram(1 + i % 100), QHostAddress::LocalHost, Protocol::exchangePort),
                 qint64(23));
    release.release();
    QTRY_COMPARE(reports.load(), long(datagrams));
    long workerAllocations = -1;
    QMetaObject::invokeMethod(
        &exchange, [&workerAllocations] { workerAllocations = CountingNew::threadAllocations; },
        Qt::BlockingQueuedConnection);
    // A few per batch of the receive loop and per pause (the first read through the socket, the acknowledgement
    // queued behind the batch's reports, the call that carries on), none per datagram: one allocation per datagram
    // would make a thousand.
    QVERIFY2(workerAllocations < datagrams / 2, qPrintable(QString::number(workerAllocations)));
}

QTEST_GUILESS_MAIN(ReceiveAllocationsTest)
#include "tst_receiveallocations.moc"
