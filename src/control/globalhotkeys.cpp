#include "globalhotkeys.h"

#include <QCoreApplication>
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

struct GlobalKey {
    Qt::Key key;
    const char *name;
    const char *limitMode;  // null for the incident key
};

// The keys that also work while another program has focus come first; F11, which lifts every limit, is the one
// that must be held, and only in the console's own windows.
const GlobalKey globalKeys[] = {
    {Qt::Key_F12, "F12", "p0"},  {Qt::Key_Pause, "Pause", "p0"}, {Qt::Key_F9, "F9", "p25"},
    {Qt::Key_F10, "F10", "p50"}, {Qt::Key_F8, "F8", nullptr},    {Qt::Key_F11, "F11", "p100"},
};
constexpr int systemWideKeys = 5;
constexpr int heldKey = 5;

int keyIndex(int qtKey) {
    for (int i = 0; i < int(std::size(globalKeys)); ++i)
        if (globalKeys[i].key == qtKey)
            return i;
    return -1;
}

QString keyName(int index) {
    return QLatin1String(globalKeys[index].name);
}

QStringList systemWideKeyNames() {
    QStringList names;
    for (int i = 0; i < systemWideKeys; ++i)
        names << keyName(i);
    return names;
}

// The one warning for keys that work only in the console's windows: which, and why.
void warnWindowOnly(const QStringList &keys, const QString &why) {
    qCWarning(lcHotkeys).noquote()
        << QStringLiteral("%1 cannot be taken system-wide (%2); %3 only while the console's window has focus")
               .arg(keys.join(QLatin1String(", ")), why, QLatin1String(keys.size() == 1 ? "it works" : "they work"));
}

#if defined(Q_OS_WIN)
const UINT virtualKeys[systemWideKeys] = {VK_F12, VK_PAUSE, VK_F9, VK_F10, VK_F8};
#elif defined(DEVIV_HAVE_XCB)
const xcb_keysym_t keysyms[systemWideKeys] = {XK_F12, XK_Pause, XK_F9, XK_F10, XK_F8};

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
    // The hot keys go to a message-only window of ours: the modal loops of a window being moved or of a menu
    // dispatch messages to windows but drop those posted to the thread.
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    HWND window = nullptr;
#elif defined(DEVIV_HAVE_XCB)
    xcb_connection_t *connection = nullptr;
    xcb_window_t root = 0;
    QVector<uint16_t> modifiers;               // the lock variants grabbed for every key
    QVector<QPair<xcb_keycode_t, int> > keys;  // keycode, index of the key
    QHash<xcb_keycode_t, xcb_timestamp_t> releasedAt;
    uint8_t xkbEvent = 0;  // the XKB extension's event type, 0 without it
    QTimer regrab;         // after a burst of keyboard map changes, once
#endif
};

GlobalHotkeys::GlobalHotkeys(QObject *parent) : QObject(parent), m_holdTimer(this), m_grabs(std::make_unique<Grabs>()) {
    m_holdTimer.setSingleShot(true);
    m_holdTimer.setTimerType(Qt::PreciseTimer);
    m_holdTimer.setInterval(1000);
    connect(&m_holdTimer, &QTimer::timeout, this, [this] { emitPress(heldKey); });
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
    if (event->type() == QEvent::KeyPress)
        press(key, m_heldInWindow);
    else
        release(key, m_heldInWindow);
    return true;
}

void GlobalHotkeys::press(int key, QSet<int> &heldBy) {
    // The same key still down, either way: a repeat, not a press.
    if (m_heldInWindow.contains(key) || m_heldGrabbed.contains(key))
        return;
    heldBy.insert(key);
    if (key == heldKey)
        m_holdTimer.start();
    else
        emitPress(key);
}

void GlobalHotkeys::release(int key, QSet<int> &heldBy) {
    heldBy.remove(key);
    if (key == heldKey)
        m_holdTimer.stop();
}

void GlobalHotkeys::emitPress(int key) {
    if (globalKeys[key].limitMode)
        emit limitKeyPressed(QLatin1String(globalKeys[key].limitMode), keyName(key));
    else
        emit incidentKeyPressed(keyName(key));
}

#if defined(Q_OS_WIN)

LRESULT CALLBACK GlobalHotkeys::Grabs::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto *keys = reinterpret_cast<GlobalHotkeys *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    const int key = int(wParam) - 1;  // hot key id = index + 1
    if (message != WM_HOTKEY || !keys || key < 0 || key >= systemWideKeys)
        return DefWindowProcW(window, message, wParam, lParam);
    // Windows leaves out the auto-repeats (MOD_NOREPEAT) and tells no release: every message is a press.
    keys->emitPress(key);
    return 0;
}

void GlobalHotkeys::grabSystemWide() {
    static const ATOM windowClass = [] {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = &Grabs::windowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"GlobalHotkeys";
        return RegisterClassW(&windowClass);
    }();
    m_grabs->window = CreateWindowExW(0, reinterpret_cast<LPCWSTR>(quintptr(windowClass)), L"", 0, 0, 0, 0, 0,
                                      HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!m_grabs->window) {
        warnWindowOnly(systemWideKeyNames(),
                       QStringLiteral("no window for them, Windows error %1").arg(GetLastError()));
        return;
    }
    SetWindowLongPtrW(m_grabs->window, GWLP_USERDATA, LONG_PTR(this));
    for (int key = 0; key < systemWideKeys; ++key)
        if (!RegisterHotKey(m_grabs->window, key + 1, MOD_NOREPEAT, virtualKeys[key]))
            warnWindowOnly({keyName(key)}, QStringLiteral("Windows error %1").arg(GetLastError()));
}

void GlobalHotkeys::releaseSystemWide() {
    if (!m_grabs->window)
        return;
    for (int key = 0; key < systemWideKeys; ++key)
        UnregisterHotKey(m_grabs->window, key + 1);
    DestroyWindow(m_grabs->window);
    m_grabs->window = nullptr;
}

bool GlobalHotkeys::nativeEventFilter(const QByteArray &, void *, long *) {
    return false;
}

#elif defined(DEVIV_HAVE_XCB)

void GlobalHotkeys::grabSystemWide() {
    if (!m_grabs->connection) {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) {
            warnWindowOnly(systemWideKeyNames(),
                           QLatin1String("no system-wide keys on the platform ") + QGuiApplication::platformName());
            return;
        }
        QPlatformNativeInterface *native = QGuiApplication::platformNativeInterface();
        auto *connection = static_cast<xcb_connection_t *>(native->nativeResourceForIntegration("connection"));
        const auto root = xcb_window_t(reinterpret_cast<quintptr>(native->nativeResourceForIntegration("rootwindow")));
        if (!connection || !root) {
            warnWindowOnly(systemWideKeyNames(), QStringLiteral("no X11 connection"));
            return;
        }
        m_grabs->connection = connection;
        m_grabs->root = root;
        const Malloced<xcb_query_extension_reply_t> xkb(
            xcb_query_extension_reply(connection, xcb_query_extension(connection, 9, "XKEYBOARD"), nullptr),
            &std::free);
        m_grabs->xkbEvent = xkb && xkb->present ? xkb->first_event : 0;
        m_grabs->regrab.setSingleShot(true);
        connect(&m_grabs->regrab, &QTimer::timeout, this, [this] {
            releaseSystemWide();
            grabSystemWide();
        });
    }
    xcb_connection_t *connection = m_grabs->connection;
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
        // Not owner_events: the key comes to the root window even while the console's own window has focus, so
        // every press takes one way in.
        for (xcb_keycode_t code : codes)
            for (uint16_t modifiers : qAsConst(m_grabs->modifiers))
                grabs << xcb_grab_key_checked(connection, 0, m_grabs->root, modifiers, code, XCB_GRAB_MODE_ASYNC,
                                              XCB_GRAB_MODE_ASYNC);
        bool refused = codes.isEmpty();
        for (xcb_void_cookie_t grab : qAsConst(grabs)) {
            if (xcb_generic_error_t *error = xcb_request_check(connection, grab)) {
                refused = true;
                std::free(error);
            }
        }
        if (!refused) {
            for (xcb_keycode_t code : codes)
                m_grabs->keys.append({code, key});
            continue;
        }
        // All variants or none, so that a key never fails unseen in one lock state. Ungrabbing releases only the
        // grabs that are ours.
        for (xcb_keycode_t code : codes)
            for (uint16_t modifiers : qAsConst(m_grabs->modifiers))
                xcb_ungrab_key(connection, code, m_grabs->root, modifiers);
        warnWindowOnly({keyName(key)}, QStringLiteral("another program holds it, or the keyboard map lacks it"));
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
    m_grabs->keys.clear();
    m_heldGrabbed.clear();  // their releases may come on keycodes no longer ours
}

bool GlobalHotkeys::nativeEventFilter(const QByteArray &eventType, void *message, long *) {
    if (!m_grabs->connection || eventType != "xcb_generic_event_t")
        return false;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    const uint8_t type = event->response_type & 0x7f;
    // A new keyboard map, where the keys may have other keycodes and NumLock another modifier: a change of the
    // core map, or a new XKB keymap (its NewKeyboardNotify, type 0, comes instead of MappingNotify to a client
    // that uses XKB, as Qt does). Qt reads it too.
    if ((type == XCB_MAPPING_NOTIFY &&
         reinterpret_cast<const xcb_mapping_notify_event_t *>(event)->request != XCB_MAPPING_POINTER) ||
        (m_grabs->xkbEvent && type == m_grabs->xkbEvent && event->pad0 == 0)) {
        m_grabs->regrab.start();
        return false;
    }
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

#endif
