#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <memory>

// The keyboard's global keys: F12 and Pause choose STOP for all karts, F9 25 %, F10 50 %, and F11 100 % once it
// has been held for a second (it lifts every limit, so a touch must not do it); F8 marks an incident.
//
// They work in every window of the console whatever has focus there: an application-wide event filter takes them
// before the focused item sees them. All but F11 also work while another program has focus, through a
// system-wide grab (a passive key grab on the X11 root window, RegisterHotKey on Windows); a key whose grab is
// refused, or every one of them where there is no such grab (Wayland, offscreen), is named in one warning and
// works only in the console's windows. Held keys and auto-repeat give one press, whichever way the key came in.
class GlobalHotkeys : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT

public:
    // Needs the QGuiApplication; takes the system-wide grabs at once.
    explicit GlobalHotkeys(QObject *parent = nullptr);
    // Releases the grabs.
    ~GlobalHotkeys() override;

    bool nativeEventFilter(const QByteArray &eventType, void *message, long *result) override;

signals:
    // One per press: the limit mode ("p0", "p25", "p50", "p100") and the key's name ("F12", "Pause", ...).
    void limitKeyPressed(const QString &limitMode, const QString &keyName);
    // One per press of the incident key ("F8").
    void incidentKeyPressed(const QString &keyName);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Grabs;

    void press(int key, QSet<int> &heldBy);
    void release(int key, QSet<int> &heldBy);
    void emitPress(int key);
    void grabSystemWide();
    void releaseSystemWide();

    // Keys held down, by the way they came in: through the console's windows, or through the system-wide grab.
    QSet<int> m_heldInWindow;
    QSet<int> m_heldGrabbed;
    QTimer m_holdTimer;  // F11's second
    std::unique_ptr<Grabs> m_grabs;
};
