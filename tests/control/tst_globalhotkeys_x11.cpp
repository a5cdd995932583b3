#include <X11/keysym.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
#include <QWindow>
#include <QtTest>
#include <cstdlib>

#include "categorylog.h"
#include "control/globalhotkeys.h"

// The limit keys on a real X server (Xvfb, started around the test by harness.display): keys typed through XTest
// (xdotool) while a window of another X client has focus, and while the console's own window has it.
namespace {

// Another program on the display: an X client of its own with a window that can take the focus.
class OtherClient {
public:
    OtherClient() : m_connection(xcb_connect(nullptr, nullptr)) {
        const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
        m_root = screen->root;
        m_window = xcb_generate_id(m_connection);
        const uint32_t events = XCB_EVENT_MASK_KEY_PRESS;
        xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, m_window, m_root, 0, 0, 200, 200, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_EVENT_MASK, &events);
        xcb_map_window(m_connection, m_window);
        m_symbols = xcb_key_symbols_alloc(m_connection);
        sync();
    }
    ~OtherClient() {
        xcb_key_symbols_free(m_symbols);
        xcb_disconnect(m_connection);
    }

    bool takeFocus() {
        xcb_set_input_focus(m_connection, XCB_INPUT_FOCUS_POINTER_ROOT, m_window, XCB_CURRENT_TIME);
        return hasFocus();
    }
    bool hasFocus() {
        xcb_get_input_focus_reply_t *reply =
            xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr);
        const bool focused = reply && reply->focus == m_window;
        std::free(reply);
        return focused;
    }
    xcb_keycode_t keycode(xcb_keysym_t keysym) {
        xcb_keycode_t *codes = xcb_key_symbols_get_keycode(m_symbols, keysym);
        const xcb_keycode_t code = codes ? codes[0] : 0;
        std::free(codes);
        return code;
    }
    // The keycodes of the key presses that reached the window since the last call.
    QList<int> takeKeyPresses() {
        sync();
        QList<int> codes;
        while (xcb_generic_event_t *event = xcb_poll_for_event(m_connection)) {
            if ((event->response_type & 0x7f) == XCB_KEY_PRESS)
                codes << reinterpret_cast<xcb_key_press_event_t *>(event)->detail;
            std::free(event);
        }
        return codes;
    }
    bool grab(xcb_keycode_t code) {
        xcb_generic_error_t *error = xcb_request_check(
            m_connection,
            xcb_grab_key_checked(m_connection, 0, m_root, 0, code, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        std::free(error);
        return !error;
    }
    void ungrab(xcb_keycode_t code) {
        xcb_ungrab_key(m_connection, code, m_root, 0);
        sync();
    }

private:
    // A round trip: the server has handled every request before, and its events before the reply are here.
    void sync() { std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr)); }

    xcb_connection_t *m_connection;
    xcb_window_t m_root = 0;
    xcb_window_t m_window = 0;
    xcb_key_symbols_t *m_symbols = nullptr;
};

// xdotool sends its keys through XTest, as the keyboard would; the console's event loop runs meanwhile.
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
    void initTestCase();
    void init();
    void cleanup();

    void keysWorkWhileAnotherProgramHasFocus_data();
    void keysWorkWhileAnotherProgramHasFocus();
    void f11IsLeftToTheProgramWithFocus();
    void aGrabbedKeyHeldDownIsOnePress();
    void inTheConsolesWindowEachKeyActsOnce();
    void aRefusedGrabIsOneWarningAndTheOtherKeysStillWork();
    void theGrabsAreReleasedOnDestruction();

private:
    void startKeys() {
        m_keys = std::make_unique<GlobalHotkeys>();
        m_pressed = std::make_unique<QSignalSpy>(m_keys.get(), &GlobalHotkeys::limitKeyPressed);
    }
    QStringList pressed() {
        QStringList result;
        for (const QList<QVariant> &arguments : *m_pressed)
            result << arguments.at(0).toString() + ' ' + arguments.at(1).toString();
        return result;
    }
    // The presses so far, once nothing more has come for a moment (a key acted on twice would show here).
    QStringList settledPresses() {
        QTest::qWait(300);
        return pressed();
    }

    std::unique_ptr<OtherClient> m_other;
    std::unique_ptr<GlobalHotkeys> m_keys;
    std::unique_ptr<QSignalSpy> m_pressed;
};

void GlobalHotkeysX11Test::initTestCase() {
    if (qEnvironmentVariableIsSet("DEVIV_DISPLAY_UNAVAILABLE"))
        QSKIP(qPrintable(qEnvironmentVariable("DEVIV_DISPLAY_UNAVAILABLE")));
    if (QStandardPaths::findExecutable("xdotool").isEmpty())
        QSKIP("xdotool is missing (Debian package xdotool)");
    QCOMPARE(QGuiApplication::platformName(), "xcb");
    m_other = std::make_unique<OtherClient>();
}

void GlobalHotkeysX11Test::init() {
    QVERIFY(m_other->takeFocus());
    m_other->takeKeyPresses();
}

void GlobalHotkeysX11Test::cleanup() {
    m_pressed.reset();
    m_keys.reset();
}

void GlobalHotkeysX11Test::keysWorkWhileAnotherProgramHasFocus_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("lock");
    QTest::addColumn<QString>("press");
    QTest::newRow("F12") << "F12"
                         << ""
                         << "p0 F12";
    QTest::newRow("Pause") << "Pause"
                           << ""
                           << "p0 Pause";
    QTest::newRow("F9") << "F9"
                        << ""
                        << "p25 F9";
    QTest::newRow("F10") << "F10"
                         << ""
                         << "p50 F10";
    QTest::newRow("F12 with NumLock on") << "F12"
                                         << "Num_Lock"
                                         << "p0 F12";
    QTest::newRow("F10 with CapsLock on") << "F10"
                                          << "Caps_Lock"
                                          << "p50 F10";
}

void GlobalHotkeysX11Test::keysWorkWhileAnotherProgramHasFocus() {
    QFETCH(QString, key);
    QFETCH(QString, lock);
    QFETCH(QString, press);
    startKeys();
    if (!lock.isEmpty())
        xdotool({"key", lock});
    xdotool({"key", key});
    if (!lock.isEmpty())
        xdotool({"key", lock});
    QTRY_COMPARE(pressed(), QStringList{press});
    QCOMPARE(settledPresses(), QStringList{press});
    QVERIFY(m_other->hasFocus());
    // Taken by the console: the program with focus does not see it.
    QList<int> reached = m_other->takeKeyPresses();
    reached.removeAll(m_other->keycode(XK_Num_Lock));
    reached.removeAll(m_other->keycode(XK_Caps_Lock));
    QCOMPARE(reached, QList<int>());
}

void GlobalHotkeysX11Test::f11IsLeftToTheProgramWithFocus() {
    startKeys();
    xdotool({"keydown", "F11", "sleep", "1.2", "keyup", "F11"});
    QCOMPARE(settledPresses(), QStringList());
    QVERIFY(m_other->takeKeyPresses().contains(m_other->keycode(XK_F11)));
}

void GlobalHotkeysX11Test::aGrabbedKeyHeldDownIsOnePress() {
    // The server repeats a key held down (it starts after 660 ms by default): seen on a key nobody grabs.
    xdotool({"keydown", "F5", "sleep", "1.2", "keyup", "F5"});
    QVERIFY(m_other->takeKeyPresses().count(m_other->keycode(XK_F5)) > 1);

    startKeys();
    xdotool({"keydown", "F9", "sleep", "1.2", "keyup", "F9"});
    QCOMPARE(settledPresses(), QStringList{"p25 F9"});
    xdotool({"key", "F9"});
    QTRY_COMPARE(pressed(), (QStringList{"p25 F9", "p25 F9"}));
}

void GlobalHotkeysX11Test::inTheConsolesWindowEachKeyActsOnce() {
    startKeys();
    QWindow window;
    window.resize(100, 100);
    window.show();
    window.requestActivate();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    xdotool({"key", "F12"});
    QTRY_COMPARE(pressed(), QStringList{"p0 F12"});
    // F11 held, with the server's repeats, lifts the limits once; in the console's window it works.
    xdotool({"keydown", "F11", "sleep", "1.5", "keyup", "F11"});
    QCOMPARE(settledPresses(), (QStringList{"p0 F12", "p100 F11"}));
}

void GlobalHotkeysX11Test::aRefusedGrabIsOneWarningAndTheOtherKeysStillWork() {
    const xcb_keycode_t f10 = m_other->keycode(XK_F10);
    QVERIFY(m_other->grab(f10));
    CategoryLog log("zadar.keys");
    startKeys();
    const QStringList warnings = log.take("warning");
    m_other->ungrab(f10);
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().startsWith("F10 "), qPrintable(warnings.first()));
    xdotool({"key", "F9"});
    QTRY_COMPARE(pressed(), QStringList{"p25 F9"});
}

void GlobalHotkeysX11Test::theGrabsAreReleasedOnDestruction() {
    startKeys();
    const xcb_keycode_t f12 = m_other->keycode(XK_F12);
    QVERIFY(!m_other->grab(f12));
    cleanup();
    QVERIFY(m_other->grab(f12));
    m_other->ungrab(f12);
}

QTEST_MAIN(GlobalHotkeysX11Test)
#include "tst_globalhotkeys_x11.moc"
