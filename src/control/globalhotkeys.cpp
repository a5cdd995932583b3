#include "globalhotkeys.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QHash>
#include <QKeyEvent>
#include <QPair>
#include <QStringList>
#include <QVector>
#include <iterator>

#if defined(Q_OS_WIN)
#include <qt_windows.h>
#ifndef MOD_NOREPEAT
#define MOD_NOREPEAT 0x4000
#endif
#elif defined(DEVIV_HAVE_XCB)
#include <X11/keysym.h>
#include <qpa/qplatformnativeinterface.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
#include <cstdlib>
#endif

#include "controllogging.h"

namespace {

constexpr qint64 holdMs = 1000;

struct LimitKey {
    Qt::Key key;
    const char *name;
    const char *limitMode;
};

// The keys that also work while another program has focus come first; F11, which lifts every limit, is the one
// that must be held, and only in the console's own windows.
const LimitKey limitKeys[] = {
    {Qt::Key_F12, "F12", "p0"},  {Qt::Key_Pause, "Pause", "p0"}, {Qt::Key_F9, "F9", "p25"},
    {Qt::Key_F10, "F10", "p50"}, {Qt::Key_F11, "F11", "p100"},
};
constexpr int systemWideKeys = 4;
constexpr int heldKey = 4;

int keyIndex(int qtKey) {
    for (int i = 0; i < int(std::size(limitKeys)); ++i)
        if (limitKeys[i].key == qtKey)
            return i;
    return -1;
}

QString keyName(int index) {
    return QLatin1String(limitKeys[index].name);
}

#ifndef Q_OS_WIN
QString systemWideKeyNames() {
    QStringList names;
    for (int i = 0; i < systemWideKeys; ++i)
        names << keyName(i);
    return names.join(QLatin1String(", "));
}
#endif

#if defined(Q_OS_WIN)
const UINT virtualKeys[systemWideKeys] = {VK_F12, VK_PAUSE, VK_F9, VK_F10};
#elif defined(DEVIV_HAVE_XCB)
const xcb_keysym_t keysyms[systemWideKeys] = {XK_F12, XK_Pause, XK_F9, XK_F10};

template <typename T>
using Malloced = std::unique_ptr<T, decltype(&std::free)>;

// The keycodes that give a keysym on the server's keyboard map.
QVector<xcb_keycode_t> keycodes(xcb_key_symbols_t *symbols, xcb_keysym_t keysym) {
    QVector<xcb_keycode_t> result;
    const Malloced<xcb_keycode_t> codes(xcb_key_symbols_get_keycode(symbols, keysym), &std::free);
    for (const xcb_keycode_t *code = codes.get(); code && *code != XCB_NO_SYMBOL; ++code)
        result << *code;
    return result;
}

// The modifier that NumLock sets (Mod2 on most keyboard maps, but the map decides), or 0 without one.
uint16_t numLockMask(xcb_connection_t *connection, xcb_key_symbols_t *symbols) {
    const QVector<xcb_keycode_t> numLock = keycodes(symbols, XK_Num_Lock);
    const Malloced<xcb_get_modifier_mapping_reply_t> mapping(
        xcb_get_modifier_mapping_reply(connection, xcb_get_modifier_mapping(connection), nullptr), &std::free);
    if (!mapping)
        return 0;
    const xcb_keycode_t *codes = xcb_get_modifier_mapping_keycodes(mapping.get());
    for (int modifier = 0; modifier < 8; ++modifier)
        for (int i = 0; i < mapping->keycodes_per_modifier; ++i)
            if (numLock.contains(codes[modifier * mapping->keycodes_per_modifier + i]))
                return uint16_t(1u << modifier);
    return 0;
}
#endif

}  // namespace

struct GlobalHotkeys::Grabs {
#if defined(Q_OS_WIN)
    QVector<int> registered;  // hot key id = index + 1
#elif defined(DEVIV_HAVE_XCB)
    xcb_connection_t *connection = nullptr;
    xcb_window_t root = 0;
    QVector<uint16_t> modifiers;               // the lock variants grabbed for every key
    QVector<QPair<xcb_keycode_t, int> > keys;  // keycode, index of the key
    QHash<xcb_keycode_t, xcb_timestamp_t> releasedAt;
#endif
};

GlobalHotkeys::GlobalHotkeys(Clock clock, QObject *parent)
    : QObject(parent), m_clock(std::move(clock)), m_holdTimer(this), m_grabs(std::make_unique<Grabs>()) {
    if (!m_clock) {
        QElapsedTimer started;
        started.start();
        m_clock = [started] { return started.elapsed(); };
    }
    m_holdTimer.setSingleShot(true);
    m_holdTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_holdTimer, &QTimer::timeout, this, &GlobalHotkeys::checkHold);
    QCoreApplication::instance()->installEventFilter(this);
    QCoreApplication::instance()->installNativeEventFilter(this);
    grabSystemWide();
}

GlobalHotkeys::~GlobalHotkeys() {
    releaseSystemWide();
    QCoreApplication::instance()->removeNativeEventFilter(this);
}

bool GlobalHotkeys::eventFilter(QObject *watched, QEvent *event) {
    // Only what reaches a window: a window hands key events on to its focused item, which must not see them again.
    if (!watched->isWindowType())
        return false;
    if (event->type() == QEvent::FocusOut) {
        // The releases of keys held now go to whichever window has focus next.
        const QSet<int> held = m_heldInWindow;
        for (int key : held)
            release(key, m_heldInWindow);
        return false;
    }
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease)
        return false;
    const auto *keyEvent = static_cast<QKeyEvent *>(event);
    const int key = keyIndex(keyEvent->key());
    if (key < 0)
        return false;
    if (keyEvent->isAutoRepeat())
        return true;
    if (event->type() == QEvent::KeyPress) {
        if (key == heldKey && !m_holdPending)
            m_holdPressedAt = quint32(keyEvent->timestamp());
        press(key, m_heldInWindow);
        return true;
    }
    // A busy main thread may take F11's press and release only after the second has passed; the keyboard's own
    // times (32-bit milliseconds that wrap) say how long it was held.
    if (key == heldKey && m_holdPending && quint32(keyEvent->timestamp()) - m_holdPressedAt >= holdMs)
        fireHold();
    release(key, m_heldInWindow);
    return true;
}

void GlobalHotkeys::press(int key, QSet<int> &heldBy) {
    // The same key still down, either way: a repeat, not a press.
    if (m_heldInWindow.contains(key) || m_heldGrabbed.contains(key))
        return;
    heldBy.insert(key);
    if (key == heldKey) {
        m_holdStart = m_clock();
        m_holdPending = true;
        m_holdTimer.start(int(holdMs));
        return;
    }
    emit limitKeyPressed(QLatin1String(limitKeys[key].limitMode), keyName(key));
}

void GlobalHotkeys::release(int key, QSet<int> &heldBy) {
    heldBy.remove(key);
    if (key == heldKey) {
        m_holdPending = false;
        m_holdTimer.stop();
    }
}

void GlobalHotkeys::checkHold() {
    if (!m_holdPending)
        return;
    const qint64 left = holdMs - (m_clock() - m_holdStart);
    if (left > 0) {
        m_holdTimer.start(int(left));
        return;
    }
    fireHold();
}

void GlobalHotkeys::fireHold() {
    m_holdPending = false;
    m_holdTimer.stop();
    emit limitKeyPressed(QLatin1String(limitKeys[heldKey].limitMode), keyName(heldKey));
}

#if defined(Q_OS_WIN)

void GlobalHotkeys::grabSystemWide() {
    for (int key = 0; key < systemWideKeys; ++key) {
        if (RegisterHotKey(nullptr, key + 1, MOD_NOREPEAT, virtualKeys[key])) {
            m_grabs->registered << key;
        } else {
            qCWarning(lcHotkeys).noquote() << keyName(key) << "cannot be taken system-wide (Windows error"
                                           << GetLastError() << "); it works only while the console's window has focus";
        }
    }
}

void GlobalHotkeys::releaseSystemWide() {
    for (int key : qAsConst(m_grabs->registered))
        UnregisterHotKey(nullptr, key + 1);
    m_grabs->registered.clear();
}

bool GlobalHotkeys::nativeEventFilter(const QByteArray &eventType, void *message, long *) {
    if (eventType != "windows_generic_MSG" && eventType != "windows_dispatcher_MSG")
        return false;
    const MSG *msg = static_cast<const MSG *>(message);
    if (msg->message != WM_HOTKEY || msg->hwnd != nullptr)
        return false;
    const int key = int(msg->wParam) - 1;
    if (!m_grabs->registered.contains(key))
        return false;
    // Windows leaves out the auto-repeats (MOD_NOREPEAT) and tells no release: every message is a press.
    emit limitKeyPressed(QLatin1String(limitKeys[key].limitMode), keyName(key));
    return true;
}

#elif defined(DEVIV_HAVE_XCB)

void GlobalHotkeys::grabSystemWide() {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        qCWarning(lcHotkeys).noquote() << "No system-wide keys on the platform" << QGuiApplication::platformName()
                                       << "-" << systemWideKeyNames()
                                       << "work only while the console's window has focus";
        return;
    }
    QPlatformNativeInterface *native = QGuiApplication::platformNativeInterface();
    auto *connection = static_cast<xcb_connection_t *>(native->nativeResourceForIntegration("connection"));
    const auto root = xcb_window_t(reinterpret_cast<quintptr>(native->nativeResourceForIntegration("rootwindow")));
    if (!connection || !root) {
        qCWarning(lcHotkeys).noquote() << "No X11 connection:" << systemWideKeyNames()
                                       << "work only while the console's window has focus";
        return;
    }
    m_grabs->connection = connection;
    m_grabs->root = root;

    xcb_key_symbols_t *symbols = xcb_key_symbols_alloc(connection);
    // A grab names exact modifiers, and CapsLock and NumLock are modifiers: each key is grabbed with and without
    // them, so that it works whatever the lock keys' state.
    const uint16_t numLock = numLockMask(connection, symbols);
    m_grabs->modifiers = {0, XCB_MOD_MASK_LOCK};
    if (numLock)
        m_grabs->modifiers << numLock << uint16_t(numLock | XCB_MOD_MASK_LOCK);
    for (int key = 0; key < systemWideKeys; ++key) {
        const QVector<xcb_keycode_t> codes = keycodes(symbols, keysyms[key]);
        QVector<xcb_void_cookie_t> grabs;
        for (xcb_keycode_t code : codes) {
            m_grabs->keys.append({code, key});
            // Not owner_events: the key comes to the root window even while the console's own window has
            // focus, so every press takes one way in.
            for (uint16_t modifiers : qAsConst(m_grabs->modifiers))
                grabs << xcb_grab_key_checked(connection, 0, root, modifiers, code, XCB_GRAB_MODE_ASYNC,
                                              XCB_GRAB_MODE_ASYNC);
        }
        bool refused = codes.isEmpty();
        for (xcb_void_cookie_t grab : qAsConst(grabs)) {
            if (xcb_generic_error_t *error = xcb_request_check(connection, grab)) {
                refused = true;
                std::free(error);
            }
        }
        if (refused) {
            qCWarning(lcHotkeys).noquote() << keyName(key)
                                           << "cannot be taken system-wide (another program holds it, or the "
                                              "keyboard map lacks it); it works only while the console's window "
                                              "has focus";
        }
    }
    xcb_key_symbols_free(symbols);
    xcb_flush(connection);
}

void GlobalHotkeys::releaseSystemWide() {
    if (!m_grabs->connection)
        return;
    for (const auto &key : qAsConst(m_grabs->keys))
        for (uint16_t modifiers : qAsConst(m_grabs->modifiers))
            xcb_ungrab_key(m_grabs->connection, key.first, m_grabs->root, modifiers);
    xcb_flush(m_grabs->connection);
    m_grabs->connection = nullptr;
}

bool GlobalHotkeys::nativeEventFilter(const QByteArray &eventType, void *message, long *) {
    if (!m_grabs->connection || eventType != "xcb_generic_event_t")
        return false;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    const uint8_t type = event->response_type & 0x7f;
    if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE)
        return false;
    // A release has the same layout as a press.
    const auto *keyEvent = reinterpret_cast<const xcb_key_press_event_t *>(event);
    if (keyEvent->event != m_grabs->root)
        return false;
    int key = -1;
    for (const auto &grabbed : qAsConst(m_grabs->keys))
        if (grabbed.first == keyEvent->detail)
            key = grabbed.second;
    if (key < 0)
        return false;
    if (type == XCB_KEY_RELEASE) {
        m_grabs->releasedAt.insert(keyEvent->detail, keyEvent->time);
        release(key, m_heldGrabbed);
    } else if (m_grabs->releasedAt.contains(keyEvent->detail) &&
               m_grabs->releasedAt.value(keyEvent->detail) == keyEvent->time) {
        // The server's auto-repeat: a release and a press at one time stamp, while the key stays down.
        m_heldGrabbed.insert(key);
    } else {
        press(key, m_heldGrabbed);
    }
    return true;
}

#else

void GlobalHotkeys::grabSystemWide() {
    qCWarning(lcHotkeys).noquote() << "No system-wide keys on this system:" << systemWideKeyNames()
                                   << "work only while the console's window has focus";
}

void GlobalHotkeys::releaseSystemWide() {}

bool GlobalHotkeys::nativeEventFilter(const QByteArray &, void *, long *) {
    return false;
}

#endif
