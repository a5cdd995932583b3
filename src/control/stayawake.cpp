#include "stayawake.h"

#include "controllogging.h"

#if defined(Q_OS_WIN)
#include <qt_windows.h>
#elif defined(DEVIV_HAVE_DBUS)
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#endif

#if defined(DEVIV_HAVE_DBUS)
namespace {

const QString screenSaverService = QStringLiteral("org.freedesktop.ScreenSaver");
const QString screenSaverPath = QStringLiteral("/org/freedesktop/ScreenSaver");
constexpr int callTimeoutMs = 5000;

QDBusMessage screenSaverCall(const QString &method) {
    return QDBusMessage::createMethodCall(screenSaverService, screenSaverPath, screenSaverService, method);
}

}  // namespace
#endif

StayAwake::StayAwake(QObject *parent) : QObject(parent) {
#if defined(Q_OS_WIN)
    if (SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED))
        qCInfo(lcAwake) << "The PC and the screen stay awake while the console runs";
    else
        qCWarning(lcAwake) << "Windows did not take the request to keep the PC awake: error" << GetLastError();
#elif defined(DEVIV_HAVE_DBUS)
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qCWarning(lcAwake).noquote()
            << QStringLiteral("No session D-Bus (%1): nothing keeps the screen from blanking or the PC from sleeping")
                   .arg(bus.lastError().message());
        return;
    }
    QDBusMessage inhibit = screenSaverCall(QStringLiteral("Inhibit"));
    inhibit << QStringLiteral("deviv_azeve") << QStringLiteral("Race control: the karts' limits are watched");
    m_pending = new QDBusPendingCallWatcher(bus.asyncCall(inhibit, callTimeoutMs), this);
    connect(m_pending, &QDBusPendingCallWatcher::finished, this, &StayAwake::takeInhibitReply);
#endif
}

StayAwake::~StayAwake() {
#if defined(Q_OS_WIN)
    SetThreadExecutionState(ES_CONTINUOUS);
#elif defined(DEVIV_HAVE_DBUS)
    // Not waited for: a desktop that does not answer must not hold up the exit, and the desktop gives back the
    // inhibitions of a program that leaves the bus in any case.
    if (m_cookie) {
        QDBusMessage unInhibit = screenSaverCall(QStringLiteral("UnInhibit"));
        unInhibit << *m_cookie;
        QDBusConnection::sessionBus().send(unInhibit);
    }
#endif
}

void StayAwake::takeInhibitReply() {
#if defined(DEVIV_HAVE_DBUS)
    if (!m_pending)
        return;
    const QDBusPendingReply<uint> reply = *m_pending;
    m_pending = nullptr;  // stays a child until destruction: deleting it here would delete the signal's sender
    if (reply.isError()) {
        qCWarning(lcAwake).noquote() << QStringLiteral(
                                            "No screen saver on the session D-Bus (%1): nothing keeps the screen "
                                            "from blanking or the PC from sleeping")
                                            .arg(reply.error().message());
        return;
    }
    m_cookie = reply.value();
    qCInfo(lcAwake) << "The desktop holds off the screen saver and idle sleep while the console runs (cookie"
                    << *m_cookie << ")";
#endif
}
