#include <QDBusConnection>
#include <QtTest>
#include <atomic>

#include "categorylog.h"
#include "control/stayawake.h"

// Staying awake against a real session bus of the test's own (dbus-run-session starts dbus-daemon around the
// test), where a stand-in for the desktop's screen saver, in a thread of its own, answers. Run without a session
// bus (the second ctest entry gives an address that leads nowhere), the console carries on with one log line.
namespace {

// Like a desktop: a cookie per Inhibit, given back with UnInhibit.
class FakeScreenSaver : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")

public:
    QStringList calls() const {
        QMutexLocker lock(&m_mutex);
        return m_calls;
    }
    std::atomic<int> answerAfterMs{0};

public slots:
    uint Inhibit(const QString &application, const QString &reason) {
        QThread::msleep(answerAfterMs);
        QMutexLocker lock(&m_mutex);
        m_calls << QStringLiteral("Inhibit %1: %2").arg(application, reason);
        return 4242;
    }
    void UnInhibit(uint cookie) {
        QMutexLocker lock(&m_mutex);
        m_calls << QStringLiteral("UnInhibit %1").arg(cookie);
    }

private:
    mutable QMutex m_mutex;
    QStringList m_calls;
};

const QString service = "org.freedesktop.ScreenSaver";

}  // namespace

class StayAwakeTest : public QObject {
    Q_OBJECT

private slots:
    void inhibitsUntilDestroyed_data();
    void inhibitsUntilDestroyed();
    void aBusWithoutAScreenSaverIsOneLine();
    void withoutASessionBusIsOneLine();

private:
    static bool onTestBus() { return qEnvironmentVariableIsSet("DEVIV_TEST_SESSION_BUS"); }
};

void StayAwakeTest::inhibitsUntilDestroyed_data() {
    QTest::addColumn<bool>("destroyedBeforeTheAnswer");
    QTest::newRow("destroyed after the answer") << false;
    QTest::newRow("destroyed before the answer") << true;
}

void StayAwakeTest::inhibitsUntilDestroyed() {
    QFETCH(bool, destroyedBeforeTheAnswer);
    if (!onTestBus())
        QSKIP("needs the test's session bus (run through ctest)");
    FakeScreenSaver screenSaver;
    screenSaver.answerAfterMs = destroyedBeforeTheAnswer ? 300 : 0;
    QThread thread;
    thread.start();
    screenSaver.moveToThread(&thread);
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "screen saver");
    const auto stop = qScopeGuard([&] {
        bus.unregisterService(service);
        bus.unregisterObject("/org/freedesktop/ScreenSaver");
        QDBusConnection::disconnectFromBus("screen saver");
        thread.quit();
        thread.wait();
    });
    QVERIFY(bus.registerObject("/org/freedesktop/ScreenSaver", &screenSaver, QDBusConnection::ExportAllSlots));
    QVERIFY(bus.registerService(service));
    CategoryLog log("zadar.awake");
    {
        StayAwake awake;
        if (!destroyedBeforeTheAnswer)
            QTRY_COMPARE(log.count("info"), 1);
    }
    const QStringList calls = screenSaver.calls();
    QCOMPARE(calls.size(), 2);
    QVERIFY2(QRegularExpression("^Inhibit deviv_azeve: .+").match(calls.first()).hasMatch(), qPrintable(calls.first()));
    QCOMPARE(calls.last(), "UnInhibit 4242");
    const QStringList lines = log.take();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().startsWith("info: ") && lines.first().contains("4242"), qPrintable(lines.first()));
}

void StayAwakeTest::aBusWithoutAScreenSaverIsOneLine() {
    if (!onTestBus())
        QSKIP("needs the test's session bus (run through ctest)");
    CategoryLog log("zadar.awake");
    {
        StayAwake awake;
        QTRY_COMPARE(log.count("warning"), 1);
    }
    QCOMPARE(log.take().size(), 1);
}

void StayAwakeTest::withoutASessionBusIsOneLine() {
    if (onTestBus())
        QSKIP("needs no session bus (tst_stayawake_nobus)");
    CategoryLog log("zadar.awake");
    {
        StayAwake awake;
        const QStringList lines = log.take();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().startsWith("warning: No session D-Bus"), qPrintable(lines.first()));
    }
    QCOMPARE(log.take(), QStringList());
}

QTEST_GUILESS_MAIN(StayAwakeTest)
#include "tst_stayawake.moc"
