// Linked into every executable of the ThreadSanitizer build (scripts/test --tsan), never into the product.
// Qt is not instrumented: it hands queued calls and signals from one thread to another under its own
// futex-based lock, which ThreadSanitizer cannot see, so every object that crosses threads that way would be
// reported as a race. This bridge tells ThreadSanitizer about those hand-overs: a thread that posts a call,
// emits a signal or posts an event releases one shared synchronisation object, and a thread that delivers an
// event, or returns from waiting for a thread to end, acquires it. That is the order Qt's lock guarantees.
// The linker routes our calls into Qt through the __wrap_ functions below (-Wl,--wrap=<symbol>).
#include <QtCore/qnamespace.h>
#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

extern "C" void __tsan_acquire(void *address);
extern "C" void __tsan_release(void *address);
extern "C" void AnnotateIgnoreReadsBegin(const char *file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char *file, int line);

// Qt's hook for signal spies (exported by QtCore, declared in a private header).
struct QSignalSpyCallbackSet {
    using BeginCallback = void (*)(QObject *caller, int signalOrMethodIndex, void **argv);
    using EndCallback = void (*)(QObject *caller, int signalOrMethodIndex);
    BeginCallback signal_begin_callback, slot_begin_callback;
    EndCallback signal_end_callback, slot_end_callback;
};
void qt_register_signal_spy_callbacks(QSignalSpyCallbackSet *callbackSet);

namespace {

char handOver;

// Signals being emitted and calls being posted now, in all threads and in this one. A queued connection
// copies the signal's arguments and posts them in the middle of an emission, so the emission's end is
// where they are published.
std::atomic<int> emissionsInProgress{0};
thread_local int ownEmissionsInProgress = 0;

// Called as each event is delivered, in the delivering thread: what this thread did before (earlier events)
// is published, and what other threads posted is taken in.
bool acquireOnDelivery(void **data) {
    __tsan_release(&handOver);
    // A queued call may be delivered before the emission that posted it has ended: wait for that end, briefly
    // (an emission whose direct slots run long, or wait, is not waited for). The event's type is read before
    // that wait, so the read itself is not checked.
    const auto *event = static_cast<const QEvent *>(data[1]);
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
    const bool metaCall = event && event->type() == QEvent::MetaCall;
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
    if (metaCall) {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(2);
        while (emissionsInProgress.load(std::memory_order_acquire) > ownEmissionsInProgress &&
               std::chrono::steady_clock::now() < giveUp)
            std::this_thread::yield();
    }
    __tsan_acquire(&handOver);
    return false;  // the event is delivered as usual
}

// Every signal, also one Qt emits itself (a thread's finished(), a timer's timeout()), publishes what its
// thread did before it and, at its end, what the slots it ran directly did and the arguments it queued.
void releaseOnSignal(QObject *, int, void **) {
    __tsan_release(&handOver);
    ++ownEmissionsInProgress;
    emissionsInProgress.fetch_add(1, std::memory_order_relaxed);
}
void releaseAfterSignal(QObject *, int) {
    __tsan_release(&handOver);
    --ownEmissionsInProgress;
    emissionsInProgress.fetch_sub(1, std::memory_order_release);
}
QSignalSpyCallbackSet signalCallbacks{releaseOnSignal, nullptr, releaseAfterSignal, nullptr};

bool registerHooks() {
    qt_register_signal_spy_callbacks(&signalCallbacks);
    return QInternal::registerCallback(QInternal::EventNotifyCallback, acquireOnDelivery);
}

const bool registered = registerHooks();

// What the calling thread and the wrapped call share: whether the call is posted and whether it ran.
struct CallState {
    std::atomic<bool> posted{false};
    std::mutex mutex;
    std::condition_variable ranCondition;
    bool ran = false;
};

// Wraps the slot object of an invokeMethod() call. The call runs only once the calling thread has published
// the posted call (Qt allocates it inside invokeMethodImpl, after anything the wrapper could do before), and
// what it did in the receiving thread is published before a blocked caller goes on.
class ReleasingSlot final : public QtPrivate::QSlotObjectBase {
public:
    ReleasingSlot(QtPrivate::QSlotObjectBase *inner, std::shared_ptr<CallState> state)
        : QSlotObjectBase(&impl), m_inner(inner), m_state(std::move(state)) {}

private:
    static void impl(int which, QSlotObjectBase *self, QObject *receiver, void **args, bool *ret) {
        auto *that = static_cast<ReleasingSlot *>(self);
        switch (which) {
            case Destroy:
                __tsan_acquire(&handOver);
                that->m_inner->destroyIfLastRef();
                delete that;
                break;
            case Call: {
                CallState &state = *that->m_state;
                while (!state.posted.load(std::memory_order_acquire))
                    std::this_thread::yield();
                __tsan_acquire(&handOver);
                that->m_inner->call(receiver, args);
                __tsan_release(&handOver);
                {
                    std::lock_guard<std::mutex> lock(state.mutex);
                    state.ran = true;
                }
                state.ranCondition.notify_all();
                break;
            }
            case Compare:
                *ret = that->m_inner->compare(args);
                break;
        }
    }

    QtPrivate::QSlotObjectBase *m_inner;
    std::shared_ptr<CallState> m_state;
};

}  // namespace

extern "C" {

// QMetaObject::invokeMethodImpl(QObject *, QtPrivate::QSlotObjectBase *, Qt::ConnectionType, void *).
bool __real__ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv(
    QObject *, QtPrivate::QSlotObjectBase *, Qt::ConnectionType, void *);
bool __wrap__ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv(
    QObject *object, QtPrivate::QSlotObjectBase *slot, Qt::ConnectionType type, void *ret) {
    // Direct calls and calls with a result are left as they are.
    if (type == Qt::DirectConnection || (type == Qt::AutoConnection && object->thread() == QThread::currentThread()) ||
        ret)
        return __real__ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv(
            object, slot, type, ret);
    // A blocking call is posted as a queued one and waited for here, where the wait is visible.
    const bool blocking = type == Qt::BlockingQueuedConnection;
    auto state = std::make_shared<CallState>();
    auto *releasing = new ReleasingSlot(slot, state);
    ++ownEmissionsInProgress;
    emissionsInProgress.fetch_add(1, std::memory_order_relaxed);
    __tsan_release(&handOver);
    const bool result =
        __real__ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv(
            object, releasing, blocking ? Qt::QueuedConnection : type, ret);
    __tsan_release(&handOver);
    --ownEmissionsInProgress;
    emissionsInProgress.fetch_sub(1, std::memory_order_release);
    state->posted.store(true, std::memory_order_release);
    if (blocking && result) {
        std::unique_lock<std::mutex> lock(state->mutex);
        state->ranCondition.wait(lock, [&state] { return state->ran; });
    }
    __tsan_acquire(&handOver);
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
bool tsanQtBridgeRegistered() {
    return registered;
}
