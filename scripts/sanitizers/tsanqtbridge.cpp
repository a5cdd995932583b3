// Linked into every executable of the ThreadSanitizer build (scripts/test --tsan), never into the product.
// Qt is not instrumented: it hands queued calls and signals from one thread to another under its own
// futex-based lock, which ThreadSanitizer cannot see, so every object that crosses threads that way would be
// reported as a race. This bridge tells ThreadSanitizer about those hand-overs: a thread that posts a call,
// emits a signal or posts an event releases one shared synchronisation object, and a thread that delivers an
// event, or returns from waiting for a thread to end, acquires it. That is the order Qt's lock guarantees.
// The linker routes our calls into Qt through the __wrap_ functions below (-Wl,--wrap=<symbol>).
#include <QCoreApplication>
#include <QThread>
#include <QtCore/qnamespace.h>

extern "C" void __tsan_acquire(void *address);
extern "C" void __tsan_release(void *address);

namespace {

char handOver;

// Called as each event is delivered, in the delivering thread: what this thread did before (earlier events)
// is published, and what other threads posted is taken in.
bool acquireOnDelivery(void **) {
    __tsan_release(&handOver);
    __tsan_acquire(&handOver);
    return false;  // the event is delivered as usual
}

const bool registered = QInternal::registerCallback(QInternal::EventNotifyCallback, acquireOnDelivery);

}  // namespace

extern "C" {

// QMetaObject::activate(QObject *, const QMetaObject *, int, void **): every signal emitted by moc code.
void __real__ZN11QMetaObject8activateEP7QObjectPKS_iPPv(QObject *, const QMetaObject *, int, void **);
void __wrap__ZN11QMetaObject8activateEP7QObjectPKS_iPPv(QObject *sender, const QMetaObject *m, int index,
                                                         void **argv) {
    __tsan_release(&handOver);
    __real__ZN11QMetaObject8activateEP7QObjectPKS_iPPv(sender, m, index, argv);
}

// QMetaObject::invokeMethodImpl(QObject *, QtPrivate::QSlotObjectBase *, Qt::ConnectionType, void *).
bool __real__ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv(
    QObject *, void *, Qt::ConnectionType, void *);
bool __wrap__ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv(
    QObject *object, void *slot, Qt::ConnectionType type, void *ret) {
    __tsan_release(&handOver);
    const bool result =
        __real__ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv(
            object, slot, type, ret);
    __tsan_acquire(&handOver);  // a blocking call returns after the other thread ran it
    return result;
}

// QCoreApplication::postEvent(QObject *, QEvent *, int).
void __real__ZN16QCoreApplication9postEventEP7QObjectP6QEventi(QObject *, QEvent *, int);
void __wrap__ZN16QCoreApplication9postEventEP7QObjectP6QEventi(QObject *receiver, QEvent *event, int priority) {
    __tsan_release(&handOver);
    __real__ZN16QCoreApplication9postEventEP7QObjectP6QEventi(receiver, event, priority);
}

// QThread::wait(QDeadlineTimer) and QThread::wait(unsigned long): what the thread did before it ended.
bool __real__ZN7QThread4waitE14QDeadlineTimer(QThread *, QDeadlineTimer);
bool __wrap__ZN7QThread4waitE14QDeadlineTimer(QThread *thread, QDeadlineTimer deadline) {
    const bool result = __real__ZN7QThread4waitE14QDeadlineTimer(thread, deadline);
    __tsan_acquire(&handOver);
    return result;
}
bool __real__ZN7QThread4waitEm(QThread *, unsigned long);
bool __wrap__ZN7QThread4waitEm(QThread *thread, unsigned long time) {
    const bool result = __real__ZN7QThread4waitEm(thread, time);
    __tsan_acquire(&handOver);
    return result;
}
}

// Keeps the registration from being dropped as unused.
bool tsanQtBridgeRegistered() { return registered; }
