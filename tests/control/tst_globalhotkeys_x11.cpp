#include <X11/keysym.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
#include <QWindow>
#include <QtTest>

#include "categorylog.h"
#include "control/globalhotkeys.h"
#include "keypresses.h"

// The global keys on a real X server (Xvfb, started around the test by harness.display): keys typed through XTest
// (xdotool) while a window of another X client has focus, and while the console's own window has it.
namespace {

// Another program on the display: an X client of its own, with a window that takes the focus.
class OtherClient {
public:
    OtherClient() : m_connection(xcb_connect(nullptr, nullptr)), m_symbols(xcb_key_symbols_alloc(m_connection)) {
        const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
        m_root = screen->root;
        xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, m_window, m_root, 0, 0, 200, 200, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
        xcb_map_window(m_connection, m_window);
    }
    ~OtherClient() {
        xcb_key_symbols_free(m_symbols);
        xcb_disconnect(m_connection);
    }
    bool takeFocus() {
        xcb_set_input_focus(m_connection, XCB_INPUT_FOCUS_POINTER_ROOT, m_window, XCB_CURRENT_TIME);
        xcb_get_input_focus_reply_t *focus =
            xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr);
        const bool focused = focus && focus->focus == m_window;
        std::free(focus);
        return focused;
    }
    // Grabs a key as a program that wants it for itself; false when another client has it (with any modifiers
    // for XCB_MOD_MASK_ANY).
    bool grab(xcb_keycode_t code, uint16_t modifiers = 0) {
        xcb_generic_error_t *error = xcb_request_check(
            m_connection,
            xcb_grab_key_checked(m_connection, 0, m_root, modifiers, code, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        std::free(error);
        return !error;
    }
    void ungrab(xcb_keycode_t code, uint16_t modifiers = 0) {
        xcb_ungrab_key(m_connection, code, m_root, modifiers);
        xcb_flush(m_connection);
    }
    xcb_keycode_t keycode(xcb_keysym_t keysym) {
        xcb_keycode_t *codes = xcb_key_symbols_get_keycode(m_symbols, keysym);
        const xcb_keycode_t code = codes ? codes[0] : 0;
        std::free(codes);
        return code;
    }
    // Gives a keycode a keysym in the core keyboard map.
    bool setKeysym(xcb_keycode_t code, xcb_keysym_t keysym) {
        xcb_change_keyboard_mapping(m_connection, 1, code, 1, &keysym);
        return sync();
    }
    // Turns the server's key repeat on or off, for every client.
    bool setAutoRepeat(bool on) {
        const uint32_t mode = on ? XCB_AUTO_REPEAT_MODE_ON : XCB_AUTO_REPEAT_MODE_OFF;
        xcb_change_keyboard_control(m_connection, XCB_KB_AUTO_REPEAT_MODE, &mode);
        return sync();
    }

private:
    // A round trip: the server has done what was asked before.
    bool sync() {
        xcb_get_input_focus_reply_t *reply =
            xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr);
        std::free(reply);
        return reply;
    }

    xcb_connection_t *m_connection;
    xcb_key_symbols_t *m_symbols;
    xcb_window_t m_root = 0;
    xcb_window_t m_window = xcb_generate_id(m_connection);
};

// xdotool sends its keys through XTest, as a keyboard would; the console's event loop runs meanwhile.
void xdotool(const QStringList &arguments) {
    QProcess process;
    process.start("xdotool", arguments);
    QTRY_COMPARE_WITH_TIMEOUT(process.state(), QProcess::NotRunning, 10000);
    QCOMPARE(process.exitCode(), 0);
}

}  // namespace

class GlobalHotkeysX11Test : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        if (qEnvironmentVariableIsSet("DEVIV_DISPLAY_UNAVAILABLE"))
            QSKIP(qPrintable(qEnvironmentVariable("DEVIV_DISPLAY_UNAVAILABLE")));
        if (QStandardPaths::findExecutable("xdotool").isEmpty())
            QSKIP("xdotool is missing (Debian package xdotool)");
        QCOMPARE(QGuiApplication::platformName(), "xcb");
        m_other = std::make_unique<OtherClient>();
    }
    void init() {
        QVERIFY(m_other->takeFocus());
        m_keys = std::make_unique<GlobalHotkeys>();
        m_presses = std::make_unique<KeyPresses>(m_keys.get());
    }
    void cleanup() {
        m_presses.reset();
        m_keys.reset();
    }
    void keysWorkWhileAnotherProgramHasFocus_data();
    void keysWorkWhileAnotherProgramHasFocus();
    void inTheConsolesWindowEachKeyActsOnce();
    void aKeyRefusedInOneLockStateIsGrabbedInNoneAndTheGrabsGoWithTheKeys();
    void aKeyMovedToAnotherKeycodeStillWorks();

private:
    // The presses once nothing more has come for a moment (a key acted on twice would show here).
    QStringList settledPresses() {
        QTest::qWait(300);
        return m_presses->take();
    }

    std::unique_ptr<OtherClient> m_other;
    std::unique_ptr<GlobalHotkeys> m_keys;
    std::unique_ptr<KeyPresses> m_presses;
};

void GlobalHotkeysX11Test::keysWorkWhileAnotherProgramHasFocus_data() {
    QTest::addColumn<QStringList>("typed");
    QTest::addColumn<QStringList>("presses");
    QTest::newRow("F12") << QStringList{"key", "F12"} << QStringList{"p0 F12"};
    QTest::newRow("Pause") << QStringList{"key", "Pause"} << QStringList{"p0 Pause"};
    QTest::newRow("F9 twice") << QStringList{"key", "F9", "F9"} << QStringList{"p25 F9", "p25 F9"};
    QTest::newRow("F10") << QStringList{"key", "F10"} << QStringList{"p50 F10"};
    QTest::newRow("F8") << QStringList{"key", "F8"} << QStringList{"incident F8"};
    QTest::newRow("with NumLock on") << QStringList{"key", "Num_Lock", "F12", "Num_Lock"} << QStringList{"p0 F12"};
    QTest::newRow("with CapsLock on") << QStringList{"key", "Caps_Lock", "F10", "Caps_Lock"} << QStringList{"p50 F10"};
    // The server repeats a key held down (after 660 ms): still one press.
    QTest::newRow("F9 held") << QStringList{"keydown", "F9", "sleep", "1.2", "keyup", "F9"} << QStringList{"p25 F9"};
    QTest::newRow("F11 is left to the program")
        << QStringList{"keydown", "F11", "sleep", "1.2", "keyup", "F11"} << QStringList();
}

void GlobalHotkeysX11Test::keysWorkWhileAnotherProgramHasFocus() {
    QFETCH(QStringList, typed);
    QFETCH(QStringList, presses);
    xdotool(typed);
    QTRY_COMPARE(m_presses->count(), presses.size());
    QCOMPARE(settledPresses(), presses);
}

void GlobalHotkeysX11Test::inTheConsolesWindowEachKeyActsOnce() {
    QWindow window;
    window.resize(100, 100);
    window.show();
    window.requestActivate();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    // F12 through the grab, F11 held through the window. Without the server's repeats: Qt tells a repeat by the
    // press already queued behind its release, and on a busy machine it may not be there yet; F11's second then
    // starts again.
    QVERIFY(m_other->setAutoRepeat(false));
    const auto repeatAgain = qScopeGuard([this] { m_other->setAutoRepeat(true); });
    xdotool({"key", "F12", "keydown", "F11", "sleep", "1.5", "keyup", "F11"});
    QCOMPARE(settledPresses(), (QStringList{"p0 F12", "p100 F11"}));
}

void GlobalHotkeysX11Test::aKeyRefusedInOneLockStateIsGrabbedInNoneAndTheGrabsGoWithTheKeys() {
    const xcb_keycode_t f12 = m_other->keycode(XK_F12), f10 = m_other->keycode(XK_F10);
    QVERIFY(!m_other->grab(f12));
    m_presses.reset();
    m_keys.reset();
    QVERIFY(m_other->grab(f12, XCB_MOD_MASK_ANY));  // every variant released on destruction
    m_other->ungrab(f12, XCB_MOD_MASK_ANY);

    QVERIFY(m_other->grab(f10, XCB_MOD_MASK_LOCK));  // F10 with CapsLock on only
    CategoryLog log("zadar.keys");
    init();
    m_other->ungrab(f10, XCB_MOD_MASK_LOCK);
    const QStringList lines = log.take();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().startsWith("warning: F10 "), qPrintable(lines.first()));
    QVERIFY(m_other->grab(f10, XCB_MOD_MASK_ANY));  // none of F10's variants kept
    m_other->ungrab(f10, XCB_MOD_MASK_ANY);
    xdotool({"key", "F9"});
    QTRY_COMPARE(m_presses->count(), 1);
}

void GlobalHotkeysX11Test::aKeyMovedToAnotherKeycodeStillWorks() {
    const xcb_keycode_t f9 = m_other->keycode(XK_F9), f1 = m_other->keycode(XK_F1);  // F1: not a global key
    // Loading the keymap again puts all back.
    const auto restore = qScopeGuard([] { QProcess::execute("setxkbmap", {"-keycodes", "evdev"}); });
    QVERIFY(f9 && f1 && m_other->setKeysym(f1, XK_F9) && m_other->setKeysym(f9, XK_F1));
    QTest::qWait(300);                             // the console takes the new map
    QVERIFY(m_other->grab(f9, XCB_MOD_MASK_ANY));  // the old keycode released
    m_other->ungrab(f9, XCB_MOD_MASK_ANY);
    xdotool({"key", "F9"});
    QCOMPARE(settledPresses(), QStringList{"p25 F9"});

    // A whole new keymap, where Pause has another keycode (110, not 127).
    QCOMPARE(QProcess::execute("setxkbmap", {"-keycodes", "xfree86"}), 0);
    QTest::qWait(300);
    xdotool({"key", "Pause"});
    QCOMPARE(settledPresses(), QStringList{"p0 Pause"});
}

QTEST_MAIN(GlobalHotkeysX11Test)
#include "tst_globalhotkeys_x11.moc"
