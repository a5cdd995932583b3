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
    int keys = 0;

protected:
    void keyPressEvent(QKeyEvent *) override { ++keys; }
    void keyReleaseEvent(QKeyEvent *) override { ++keys; }
};

}  // namespace

class GlobalHotkeysTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_now = 0;
        m_log = std::make_unique<CategoryLog>("zadar.keys");
        m_keys = std::make_unique<GlobalHotkeys>([this] { return m_now; });
        m_pressed = std::make_unique<QSignalSpy>(m_keys.get(), &GlobalHotkeys::limitKeyPressed);
    }
    void cleanup() {
        m_pressed.reset();
        m_keys.reset();
        m_log.reset();
    }
    void withoutSystemWideKeysOneWarningNamesThem();
    void eachPressChoosesItsLimit_data();
    void eachPressChoosesItsLimit();
    void aKeyHeldDownIsOnePress();
    void f11ActsOnlyOnceHeldForASecond();
#ifdef Q_OS_WIN
    void aKeyTypedAnywhereIsOnePressOnWindows();
#endif

private:
    // Sends a key event to the window; true when the limit keys took it before the window.
    bool send(QEvent::Type type, int key, bool autoRepeat = false, ulong timestamp = 0,
              Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QKeyEvent event(type, key, modifiers, QString(), autoRepeat);
        event.setTimestamp(timestamp);
        const int before = m_window.keys;
        QCoreApplication::sendEvent(&m_window, &event);
        return m_window.keys == before;
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

void GlobalHotkeysTest::withoutSystemWideKeysOneWarningNamesThem() {
#ifdef Q_OS_WIN
    QSKIP("Windows takes the keys system-wide whatever Qt's platform");
#endif
    const QStringList lines = m_log->take();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(QRegularExpression("^warning: .*offscreen.*F12, Pause, F9, F10").match(lines.first()).hasMatch() &&
                 !lines.first().contains("F11"),
             qPrintable(lines.first()));
}

void GlobalHotkeysTest::eachPressChoosesItsLimit_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("press");  // empty: not a limit key, left to the window
    QTest::newRow("F12") << int(Qt::Key_F12) << 0 << "p0 F12";
    QTest::newRow("Pause") << int(Qt::Key_Pause) << 0 << "p0 Pause";
    QTest::newRow("F9") << int(Qt::Key_F9) << 0 << "p25 F9";
    QTest::newRow("F10") << int(Qt::Key_F10) << 0 << "p50 F10";
    QTest::newRow("Shift+F12") << int(Qt::Key_F12) << int(Qt::ShiftModifier) << "p0 F12";
    QTest::newRow("F8") << int(Qt::Key_F8) << 0 << "";
    QTest::newRow("A") << int(Qt::Key_A) << 0 << "";
}

void GlobalHotkeysTest::eachPressChoosesItsLimit() {
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, press);
    for (int i = 0; i < 2; ++i) {  // every press is a command, as every click is
        QCOMPARE(send(QEvent::KeyPress, key, false, 0, Qt::KeyboardModifiers(modifiers)), !press.isEmpty());
        QCOMPARE(send(QEvent::KeyRelease, key, false, 0, Qt::KeyboardModifiers(modifiers)), !press.isEmpty());
    }
    QCOMPARE(pressed(), press.isEmpty() ? QStringList() : (QStringList{press, press}));
}

void GlobalHotkeysTest::aKeyHeldDownIsOnePress() {
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F9));
    QVERIFY(send(QEvent::KeyRelease, Qt::Key_F9, true));
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F9, true));
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F9));  // a press seen twice
    QCOMPARE(pressed(), QStringList{"p25 F9"});
    // Released while another window has focus: the next press must count, not find the key still down.
    QFocusEvent focusOut(QEvent::FocusOut);
    QCoreApplication::sendEvent(&m_window, &focusOut);
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F9));
    QCOMPARE(pressed(), QStringList{"p25 F9"});
}

void GlobalHotkeysTest::f11ActsOnlyOnceHeldForASecond() {
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F11));  // a short press does nothing, however late the timer comes
    m_now = 999;
    QVERIFY(send(QEvent::KeyRelease, Qt::Key_F11));
    m_now = 5000;
    holdTimerFires();
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F11));
    m_now = 5999;
    holdTimerFires();  // early
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F11, true));
    QCOMPARE(pressed(), QStringList());
    m_now = 6000;
    holdTimerFires();
    holdTimerFires();
    QVERIFY(send(QEvent::KeyRelease, Qt::Key_F11));
    QCOMPARE(pressed(), QStringList{"p100 F11"});

    // Losing focus lets go of it.
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F11));
    QFocusEvent focusOut(QEvent::FocusOut);
    QCoreApplication::sendEvent(&m_window, &focusOut);
    m_now = 9000;
    holdTimerFires();
    QCOMPARE(pressed(), QStringList());

    // A busy main thread takes press and release together: the key events' 32-bit time stamps (which wrap) say
    // how long it was held.
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F11, false, 0xFFFFFF00));
    QVERIFY(send(QEvent::KeyRelease, Qt::Key_F11, false, 999 - 0x100));
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F11, false, 0xFFFFFF00));
    QVERIFY(send(QEvent::KeyRelease, Qt::Key_F11, false, 1000 - 0x100));
    QCOMPARE(pressed(), QStringList{"p100 F11"});
}

#ifdef Q_OS_WIN
void GlobalHotkeysTest::aKeyTypedAnywhereIsOnePressOnWindows() {
    const auto type = [](DWORD flags) {
        INPUT input = {};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = VK_F9;
        input.ki.dwFlags = flags;
        return SendInput(1, &input, sizeof(INPUT)) == 1;
    };
    // Wine sends a hot key message for every auto-repeat, as if without MOD_NOREPEAT.
    const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version");
    for (int i = 0; i < 2; ++i)
        QVERIFY(type(0) && (wine || type(0)) && type(KEYEVENTF_KEYUP));  // down, down again (auto-repeat), up
    QTRY_COMPARE(m_pressed->count(), 2);
    QTest::qWait(300);
    QCOMPARE(pressed(), (QStringList{"p25 F9", "p25 F9"}));
}
#endif

QTEST_MAIN(GlobalHotkeysTest)
#include "tst_globalhotkeys.moc"
