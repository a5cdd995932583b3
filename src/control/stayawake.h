#pragma once

#include <QObject>
#include <optional>

class QDBusPendingCallWatcher;

// Keeps the PC from sleeping and the screen from blanking for as long as it lives: on Windows through the
// thread's execution state, on Linux through the desktop's idle inhibition (org.freedesktop.ScreenSaver on the
// session D-Bus), asked for without waiting for the answer. Without a bus or a screen saver, one log line says so.
// Create and destroy it in the main thread.
class StayAwake : public QObject {
    Q_OBJECT

public:
    explicit StayAwake(QObject *parent = nullptr);
    // Gives the inhibition back, without waiting for the desktop.
    ~StayAwake() override;

private:
    void takeInhibitReply();

    QDBusPendingCallWatcher *m_pending = nullptr;
    std::optional<uint> m_cookie;
};
