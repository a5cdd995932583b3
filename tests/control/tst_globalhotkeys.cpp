#include <QWindow>
#include <QtTest>
#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

#include "categorylog.h"
#include "control/globalhotkeys.h"
#include "keypresses.h"

// The global keys as the console's windows see them: key events sent to a window pass the application's event
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
        m_log = std::make_unique<CategoryLog>("zadar.keys");
        m_keys = std::make_unique<GlobalHotkeys>();
        m_presses = std::make_unique<KeyPresses>(m_keys.get());
    }
    void cleanup() {
        m_presses.reset();
        m_keys.reset();
        m_log.reset();
    }
    void withoutSystemWideKeysOneWarningNamesThem();
    void eachKeyGivesItsPress_data();
    void eachKeyGivesItsPress();
    void aKeyHeldDownIsOnePress();
    void f11ActsOnlyOnceHeldForASecond();
#ifdef Q_OS_WIN
    void aKeyTypedAnywhereIsOnePressEvenInAModalLoop();
#endif

private:
    // Sends a key event to the window; true when the global keys took it before the window.
    bool send(QEvent::Type type, int key, bool autoRepeat = false, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QKeyEvent event(type, key, modifiers, QString(), autoRepeat);
        const int before = m_window.keys;
        QCoreApplication::sendEvent(&m_window, &event);
        return m_window.keys == before;
    }

    KeyWindow m_window;
    std::unique_ptr<CategoryLog> m_log;
    std::unique_ptr<GlobalHotkeys> m_keys;
    std::unique_ptr<KeyPresses> m_presses;
};

void GlobalHotkeysTest::withoutSystemWideKeysOneWarningNamesThem() {
#ifdef Q_OS_WIN
    QSKIP("Windows takes the keys system-wide whatever Qt's platform");
#endif
    const QStringList lines = m_log->take();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().startsWith("warning: F12, Pause, F9, F10, F8 cannot be taken system-wide") &&
                 lines.first().contains("offscreen"),
             qPrintable(lines.first()));
}

void GlobalHotkeysTest::eachKeyGivesItsPress_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("press");  // empty: not a global key, left to the window
    QTest::newRow("F12") << int(Qt::Key_F12) << 0 << "p0 F12";
    QTest::newRow("Pause") << int(Qt::Key_Pause) << 0 << "p0 Pause";
    QTest::newRow("F9") << int(Qt::Key_F9) << 0 << "p25 F9";
    QTest::newRow("F10") << int(Qt::Key_F10) << 0 << "p50 F10";
    QTest::newRow("Shift+F12") << int(Qt::Key_F12) << int(Qt::ShiftModifier) << "p0 F12";
    QTest::newRow("F8") << int(Qt::Key_F8) << 0 << "incident F8";
    QTest::newRow("A") << int(Qt::Key_A) << 0 << "";
}

void GlobalHotkeysTest::eachKeyGivesItsPress() {
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, press);
    for (int i = 0; i < 2; ++i) {  // every press is a command, as every click is
        QCOMPARE(send(QEvent::KeyPress, key, false, Qt::KeyboardModifiers(modifiers)), !press.isEmpty());
        QCOMPARE(send(QEvent::KeyRelease, key, false, Qt::KeyboardModifiers(modifiers)), !press.isEmpty());
    }
    QCOMPARE(m_presses->take(), press.isEmpty() ? QStringList() : (QStringList{press, press}));
}

void GlobalHotkeysTest::aKeyHeldDownIsOnePress() {
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F9));
    QVERIFY(send(QEvent::KeyRelease, Qt::Key_F9, true));
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F9, true));
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F9));  // a press seen twice
    QCOMPARE(m_presses->take(), QStringList{"p25 F9"});
    // Released while another window has focus: the next press must count, not find the key still down.
    QFocusEvent focusOut(QEvent::FocusOut);
    QCoreApplication::sendEvent(&m_window, &focusOut);
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F9));
    QCOMPARE(m_presses->take(), QStringList{"p25 F9"});
}

void GlobalHotkeysTest::f11ActsOnlyOnceHeldForASecond() {
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F11));
    QTest::qWait(500);
    QVERIFY(send(QEvent::KeyRelease, Qt::Key_F11));  // too short, and its second must not run on
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F11));
    QElapsedTimer held;
    held.start();
    QTRY_COMPARE(m_presses->count(), 1);
    QVERIFY2(held.elapsed() >= 950, qPrintable(QString::number(held.elapsed())));
    QVERIFY(send(QEvent::KeyRelease, Qt::Key_F11));
    QCOMPARE(m_presses->take(), QStringList{"p100 F11"});

    // Losing focus lets go of it.
    QVERIFY(send(QEvent::KeyPress, Qt::Key_F11));
    QFocusEvent focusOut(QEvent::FocusOut);
    QCoreApplication::sendEvent(&m_window, &focusOut);
    QTest::qWait(1100);
    QCOMPARE(m_presses->take(), QStringList());
}

#ifdef Q_OS_WIN
void GlobalHotkeysTest::aKeyTypedAnywhereIsOnePressEvenInAModalLoop() {
    const auto type = [](WORD key, DWORD flags) {
        INPUT input = {};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = key;
        input.ki.dwFlags = flags;
        return SendInput(1, &input, sizeof(INPUT)) == 1;
    };
    // Wine sends a hot key message for every auto-repeat, as if without MOD_NOREPEAT.
    const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version");
    for (WORD key : {VK_F9, VK_F8, VK_F9})  // down, down again (auto-repeat), up
        QVERIFY(type(key, 0) && (wine || type(key, 0)) && type(key, KEYEVENTF_KEYUP));
    // A modal loop, as Windows runs one while a window is moved or a menu is open: messages go to their windows'
    // procedures, not through Qt's event dispatcher, and those posted to the thread itself are dropped.
    const UINT_PTR end = SetTimer(nullptr, 0, 1000, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) && !(message.message == WM_TIMER && message.wParam == end)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    KillTimer(nullptr, end);
    QCOMPARE(m_presses->take(), (QStringList{"p25 F9", "incident F8", "p25 F9"}));
}
#endif

QTEST_MAIN(GlobalHotkeysTest)
#include "tst_globalhotkeys.moc"
