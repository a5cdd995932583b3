#include <QtTest>
#include <atomic>

#include "categorylog.h"
#include "control/stayawake.h"

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <QDBusConnection>
#endif

// On Windows, through the thread's execution state. Elsewhere, on a real session bus of the test's own
// (dbus-run-session starts dbus-daemon around the test), where a stand-in for the desktop's screen saver answers
// from a thread of its own; and, in the test's second ctest entry, with an address that leads nowhere.
#ifndef Q_OS_WIN
namespace {

// Like a desktop: a cookie for Inhibit, to be given back with UnInhibit.
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

bool onTestBus() {
    return qEnvironmentVariableIsSet("DEVIV_TEST_SESSION_BUS");
}

}  // namespace
#endif

class StayAwakeTest : public QObject {
    Q_OBJECT

private slots:
#ifdef Q_OS_WIN
    void keepsThePcAwakeUntilDestroyed();
#else
    void inhibitsUntilDestroyed_data();
    void inhibitsUntilDestroyed();
    void withoutAScreenSaverItIsOneWarning_data();
    void withoutAScreenSaverItIsOneWarning();
#endif
};

#ifdef Q_OS_WIN
void StayAwakeTest::keepsThePcAwakeUntilDestroyed() {
    constexpr EXECUTION_STATE awake = ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED;
    CategoryLog log("zadar.awake");
    {
        StayAwake stayAwake;
        // Asked again, the state answers with the one in force: the console's.
        QCOMPARE(SetThreadExecutionState(awake), awake);
    }
    QCOMPARE(SetThreadExecutionState(ES_CONTINUOUS), EXECUTION_STATE(ES_CONTINUOUS));
    const QStringList lines = log.take();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().startsWith("info: "), qPrintable(lines.first()));
}
#else

void StayAwakeTest::inhibitsUntilDestroyed_data() {
    QTest::addColumn<bool>("destroyedBeforeTheAnswer");
    QTest::newRow("destroyed after the answer") << false;
    QTest::newRow("destroyed before the answer") << true;
}

void StayAwakeTest::inhibitsUntilDestroyed() {
    QFETCH(bool, destroyedBeforeTheAnswer);
    if (!onTestBus())
        QSKIP("needs the test's session bus");
    FakeScreenSaver screenSaver;
    screenSaver.answerAfterMs = destroyedBeforeTheAnswer ? 300 : 0;
    QThread thread;
    thread.start();
    screenSaver.moveToThread(&thread);
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "screen saver");
    const auto stop = qScopeGuard([&] {
        QDBusConnection::disconnectFromBus("screen saver");
        thread.quit();
        thread.wait();
    });
    QVERIFY(bus.registerObject("/org/freedesktop/ScreenSaver", &screenSaver, QDBusConnection::ExportAllSlots));
    QVERIFY(bus.registerService("org.freedesktop.ScreenSaver"));
    CategoryLog log("zadar.awake");
    {
        StayAwake awake;
        if (!destroyedBeforeTheAnswer)
            QTRY_COMPARE(log.count(), 1);
    }
    const QStringList calls = screenSaver.calls();
    QCOMPARE(calls.size(), 2);
    QVERIFY2(calls.first().startsWith("Inhibit deviv_azeve: "), qPrintable(calls.first()));
    QCOMPARE(calls.last(), "UnInhibit 4242");
    const QStringList lines = log.take();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().startsWith("info: ") && lines.first().contains("4242"), qPrintable(lines.first()));
}

void StayAwakeTest::withoutAScreenSaverItIsOneWarning_data() {
    QTest::addColumn<bool>("bus");
    QTest::newRow("a bus without the service") << true;
    QTest::newRow("no session bus") << false;
}

void StayAwakeTest::withoutAScreenSaverItIsOneWarning() {
    QFETCH(bool, bus);
    if (bus != onTestBus())
        QSKIP(bus ? "needs the test's session bus" : "needs no session bus (tst_stayawake_nobus)");
    CategoryLog log("zadar.awake");
    {
        StayAwake awake;
        QTRY_COMPARE(log.count(), 1);
    }
    const QStringList lines = log.take();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().startsWith(bus ? "warning: No screen saver" : "warning: No session D-Bus"),
             qPrintable(lines.first()));
}

#endif

QTEST_GUILESS_MAIN(StayAwakeTest)
#include "tst_stayawake.moc"
