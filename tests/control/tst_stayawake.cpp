#include <QtTest>
#include <atomic>

#include "categorylog.h"
#include "control/stayawake.h"

#include <QDBusConnection>
#include <QDBusContext>

// On a real session bus of the test's own (dbus-run-session starts dbus-daemon around the test), where a stand-in
// for the desktop's screen saver answers from a thread of its own; and, in the test's second ctest entry, with an
// address that leads nowhere.
namespace {

// Like a desktop: a cookie for Inhibit, to be given back with UnInhibit; or, told so, no answer ever.
class FakeScreenSaver : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")

public:
    QStringList calls() const {
        QMutexLocker lock(&m_mutex);
        return m_calls;
    }
    std::atomic<bool> answers{true};

public slots:
    uint Inhibit(const QString &application, const QString &reason) {
        if (!answers)
            setDelayedReply(true);
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

class StayAwakeTest : public QObject {
    Q_OBJECT

private slots:
    void inhibitsUntilDestroyed_data();
    void inhibitsUntilDestroyed();
    void withoutAScreenSaverItIsOneWarning_data();
    void withoutAScreenSaverItIsOneWarning();
};

void StayAwakeTest::inhibitsUntilDestroyed_data() {
    QTest::addColumn<bool>("destroyedBeforeTheAnswer");
    QTest::newRow("destroyed after the answer") << false;
    QTest::newRow("a desktop that does not answer holds up nothing") << true;
}

void StayAwakeTest::inhibitsUntilDestroyed() {
    QFETCH(bool, destroyedBeforeTheAnswer);
    if (!onTestBus())
        QSKIP("needs the test's session bus");
    FakeScreenSaver screenSaver;
    screenSaver.answers = !destroyedBeforeTheAnswer;
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
    QElapsedTimer destroyed;
    {
        StayAwake awake;
        if (!destroyedBeforeTheAnswer)
            QTRY_COMPARE(log.count(), 1);
        destroyed.start();
    }
    QVERIFY2(destroyed.elapsed() < 100, qPrintable(QString::number(destroyed.elapsed())));
    if (destroyedBeforeTheAnswer) {
        QCOMPARE(log.take(), QStringList());
        return;
    }
    QTRY_COMPARE(screenSaver.calls().size(), 2);
    const QStringList calls = screenSaver.calls();
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

QTEST_GUILESS_MAIN(StayAwakeTest)
#include "tst_stayawake.moc"
