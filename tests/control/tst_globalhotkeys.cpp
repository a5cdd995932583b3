#include <QWindow>
#include <QtTest>
#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

#include "categorylog.h"
#include "control/globalhotkeys.h"

// The limit keys as the console's windows see them: key events sent to a window pass the application's event
// filter as Qt delivers them. On Linux the platform (offscreen) has no system-wide keys; Windows has them
// whatever Qt's platform, and there a key typed into the system's input must come as one press.
namespace {

// A window that notes the keys that reach it.
class KeyWindow : public QWindow {
public:
    QList<int> keys;

protected:
    void keyPressEvent(QKeyEvent *event) override { keys << event->key(); }
    void keyReleaseEvent(QKeyEvent *event) override { keys << -event->key(); }
};

}  // namespace

class GlobalHotkeysTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void withoutSystemWideKeysOneWarningNamesThem();
    void keysChooseTheirLimit_data();
    void keysChooseTheirLimit();
    void otherKeysAreLeftToTheWindow_data();
    void otherKeysAreLeftToTheWindow();
    void keyEventsOnTheirWayToAnItemAreLeftAlone();
    void aKeyHeldDownIsOnePress();
    void f11ActsOnlyOnceHeldForASecond();
    void aWindowLosingFocusReleasesItsKeys();
#ifdef Q_OS_WIN
    void aKeyTypedAnywhereIsOnePressOnWindows();
    void aKeyHeldDownIsOnePressOnWindows();
#endif

private:
    // Sends a key event to the window; returns whether something took it before the window.
    bool send(QEvent::Type type, int key, bool autoRepeat = false, Qt::KeyboardModifiers modifiers = Qt::NoModifier,
              ulong timestamp = 0) {
        QKeyEvent event(type, key, modifiers, QString(), autoRepeat);
        event.setTimestamp(timestamp);
        const int before = m_window.keys.size();
        QCoreApplication::sendEvent(&m_window, &event);
        return m_window.keys.size() == before;
    }
    void tap(int key) {
        send(QEvent::KeyPress, key);
        send(QEvent::KeyRelease, key);
    }
    void holdTimerFires() {
        QVERIFY(QMetaObject::invokeMethod(m_keys.get(), "checkHold"));
    }
    QStringList pressed() {
        QStringList result;
        for (const QList<QVariant> &arguments : *m_pressed)
            result << arguments.at(0).toString() + ' ' + arguments.at(1).toString();
        m_pressed->clear();
        return result;
    }

    qint64 m_now = 0;
    KeyWindow m_window;
    std::unique_ptr<CategoryLog> m_log;
    std::unique_ptr<GlobalHotkeys> m_keys;
    std::unique_ptr<QSignalSpy> m_pressed;
};

void GlobalHotkeysTest::init() {
    m_now = 0;
    m_log = std::make_unique<CategoryLog>("zadar.keys");
    m_keys = std::make_unique<GlobalHotkeys>([this] { return m_now; });
    m_pressed = std::make_unique<QSignalSpy>(m_keys.get(), &GlobalHotkeys::limitKeyPressed);
}

void GlobalHotkeysTest::cleanup() {
    m_pressed.reset();
    m_keys.reset();
    m_log.reset();
}

void GlobalHotkeysTest::withoutSystemWideKeysOneWarningNamesThem() {
#ifdef Q_OS_WIN
    QSKIP("Windows takes the keys system-wide whatever Qt's platform");
#endif
    const QStringList warnings = m_log->take("warning");
    QCOMPARE(warnings.size(), 1);
    for (const char *key : {"offscreen", "F12", "Pause", "F9", "F10"})
        QVERIFY2(warnings.first().contains(QLatin1String(key)), qPrintable(warnings.first()));
    QVERIFY2(!warnings.first().contains("F11"), qPrintable(warnings.first()));
}

void GlobalHotkeysTest::keysChooseTheirLimit_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("press");
    QTest::newRow("F12") << int(Qt::Key_F12) << int(Qt::NoModifier) << "p0 F12";
    QTest::newRow("Pause") << int(Qt::Key_Pause) << int(Qt::NoModifier) << "p0 Pause";
    QTest::newRow("F9") << int(Qt::Key_F9) << int(Qt::NoModifier) << "p25 F9";
    QTest::newRow("F10") << int(Qt::Key_F10) << int(Qt::NoModifier) << "p50 F10";
    QTest::newRow("Shift+F12") << int(Qt::Key_F12) << int(Qt::ShiftModifier) << "p0 F12";
}

void GlobalHotkeysTest::keysChooseTheirLimit() {
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, press);
    QVERIFY(send(QEvent::KeyPress, key, false, Qt::KeyboardModifiers(modifiers)));
    QCOMPARE(pressed(), QStringList{press});
    QVERIFY(send(QEvent::KeyRelease, key, false, Qt::KeyboardModifiers(modifiers)));
    QCOMPARE(pressed(), QStringList());
    // Every press is a command, as every click is.
    tap(key);
    tap(key);
    QCOMPARE(pressed(), (QStringList{press, press}));
}

void GlobalHotkeysTest::otherKeysAreLeftToTheWindow_data() {
    QTest::addColumn<int>("key");
    QTest::newRow("F8") << int(Qt::Key_F8);
    QTest::newRow("Escape") << int(Qt::Key_Escape);
    QTest::newRow("A") << int(Qt::Key_A);
}

void GlobalHotkeysTest::otherKeysAreLeftToTheWindow() {
    QFETCH(int, key);
    QVERIFY(!send(QEvent::KeyPress, key));
    QVERIFY(!send(QEvent::KeyRelease, key));
    QCOMPARE(pressed(), QStringList());
}

void GlobalHotkeysTest::keyEventsOnTheirWayToAnItemAreLeftAlone() {
    // A Qt Quick window passes the key events it gets on to its focused item; the filter acted at the window.
    QObject item;
    QKeyEvent event(QEvent::KeyPress, Qt::Key_F12, Qt::NoModifier);
    QVERIFY(!QCoreApplication::sendEvent(&item, &event));
    QCOMPARE(pressed(), QStringList());
}

void GlobalHotkeysTest::aKeyHeldDownIsOnePress() {
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F9));
    for (int i = 0; i < 5; ++i) {
        QVERIFY(send(QEvent::KeyRelease, Qt::Key_F9, true));
        QVERIFY(send(QEvent::KeyPress, Qt::Key_F9, true));
    }
    // A second press event without a release between them (a key seen twice) is no new press either.
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F9));
    QVERIFY(send(QEvent::KeyRelease, Qt::Key_F9));
    QCOMPARE(pressed(), QStringList{"p25 F9"});
}

void GlobalHotkeysTest::f11ActsOnlyOnceHeldForASecond() {
    // A short press does nothing, however late the timer comes.
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F11));
    m_now = 999;
    QVERIFY(send(QEvent::KeyRelease, Qt::Key_F11));
    m_now = 5000;
    holdTimerFires();
    QCOMPARE(pressed(), QStringList());

    QVERIFY(send(QEvent::KeyPress, Qt::Key_F11));
    m_now = 5999;
    holdTimerFires();  // early: waits on
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F11, true));
    QCOMPARE(pressed(), QStringList());
    m_now = 6000;
    holdTimerFires();
    QCOMPARE(pressed(), QStringList{"p100 F11"});
    m_now = 9000;
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F11, true));
    holdTimerFires();
    QVERIFY(send(QEvent::KeyRelease, Qt::Key_F11));
    QCOMPARE(pressed(), QStringList());

    // Held for a second by the keyboard's time stamps, though both events come in together (a busy main thread);
    // the stamps are 32-bit milliseconds that wrap.
    const ulong pressedAt = 0xFFFFFF00;
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F11, false, Qt::NoModifier, pressedAt));
    QVERIFY(send(QEvent::KeyRelease, Qt::Key_F11, false, Qt::NoModifier, 999 - 0x100));
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F11, false, Qt::NoModifier, pressedAt));
    QVERIFY(send(QEvent::KeyRelease, Qt::Key_F11, false, Qt::NoModifier, 1000 - 0x100));
    QCOMPARE(pressed(), QStringList{"p100 F11"});
    holdTimerFires();
    QCOMPARE(pressed(), QStringList());
}

void GlobalHotkeysTest::aWindowLosingFocusReleasesItsKeys() {
    // Released while another window has focus, the keys would otherwise stay down here and ignore the next press.
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F12));
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F11));
    QFocusEvent focusOut(QEvent::FocusOut);
    QCoreApplication::sendEvent(&m_window, &focusOut);
    m_now = 1000;
    holdTimerFires();
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F12));
    QCOMPARE(pressed(), (QStringList{"p0 F12", "p0 F12"}));
}

#ifdef Q_OS_WIN
namespace {

// Types a key into the system's input, where any program may have focus.
bool type(WORD key, DWORD flags) {
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = key;
    input.ki.dwFlags = flags;
    return SendInput(1, &input, sizeof(INPUT)) == 1;
}

}  // namespace

void GlobalHotkeysTest::aKeyTypedAnywhereIsOnePressOnWindows() {
    for (int i = 0; i < 2; ++i) {
        QVERIFY(type(VK_F9, 0));
        QVERIFY(type(VK_F9, KEYEVENTF_KEYUP));
    }
    QTRY_COMPARE(m_pressed->count(), 2);
    QTest::qWait(300);
    QCOMPARE(pressed(), (QStringList{"p25 F9", "p25 F9"}));
}

void GlobalHotkeysTest::aKeyHeldDownIsOnePressOnWindows() {
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
        QSKIP("Wine sends a hot key message for every auto-repeat, as if without MOD_NOREPEAT");
    QVERIFY(type(VK_F9, 0));
    QVERIFY(type(VK_F9, 0));  // still down: the keyboard's auto-repeat
    QVERIFY(type(VK_F9, KEYEVENTF_KEYUP));
    QTRY_COMPARE(m_pressed->count(), 1);
    QTest::qWait(300);
    QCOMPARE(pressed(), QStringList{"p25 F9"});
}
#endif

QTEST_MAIN(GlobalHotkeysTest)
#include "tst_globalhotkeys.moc"
