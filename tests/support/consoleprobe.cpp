// Probe linked beside the console's own main.cpp into deviv_azeve_probe, the console that the fault tests and the
// benchmarks watch from inside; the product is built without it. When DEVIV_PROBE_OUT names a file, the main
// thread writes one line per event to it, each with the monotonic clock in milliseconds (as Python's
// time.monotonic() reads it, times 1000):
//   "post <t_ms> <wait_us>"  every 10 ms a timer in a thread of its own posts a queued call into the main
//                            thread; when it was posted and how long it waited there, behind whatever else the
//                            main thread's queue holds (the queue the transponder reports cross);
//   "timer <t_ms> <late_us>" how late a 10 ms precise timer of the main thread fired;
//   "link <t_ms> <json>"     the retranslator link state, as QML reads it, each time it changes;
//   "release <t_ms> <t_us>"  a mouse button released in one of the console's windows, before the window has the
//                            event; the time again in microseconds;
//   "limitmode <t_ms> <t_us> <mode>"
//                            the live list announced a global limit mode (limitModeChanged), as it does when it
//                            applies another console's command; the time again in microseconds;
//   "rows <t_ms> <n> <rows>" once a second, the number of rows of the live list and the rows in their order, each
//                            as <transponder id>:<1 online, 0 offline>:<limit in force>, separated by commas;
//   "args <t_ms> <json>"     once the root window is there: the arguments as Qt has them after taking its own
//                            options, and the platform plugin in use ({"arguments": [...], "platform": "..."}).
// Only the main thread writes, so the lines need no lock.

#include <QAbstractItemModel>
#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlContext>
#include <QQmlEngine>
#include <QThread>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "models/transponderslistmodel.h"
#include "net/retranslatorstate.h"

namespace {

using Clock = std::chrono::steady_clock;

FILE *probeOut = nullptr;

long long millisecondsOf(Clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

long long microsecondsOf(Clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
}

long long microsecondsSince(Clock::time_point then) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - then).count();
}

// The console's QML context, once its root window exists.
QQmlContext *rootContext() {
    for (QWindow *window : QGuiApplication::topLevelWindows()) {
        if (QQmlEngine *engine = qmlEngine(window))
            return engine->rootContext();
    }
    return nullptr;
}

void writeLinkState(const QJsonObject &state) {
    std::fprintf(probeOut, "link %lld %s\n", millisecondsOf(Clock::now()),
                 QJsonDocument(state).toJson(QJsonDocument::Compact).constData());
}

void writeLimitMode(const QString &mode) {
    const Clock::time_point now = Clock::now();
    std::fprintf(probeOut, "limitmode %lld %lld %s\n", millisecondsOf(now), microsecondsOf(now), qPrintable(mode));
}

int roleByName(const QAbstractItemModel *model, const QByteArray &name) {
    const QHash<int, QByteArray> roles = model->roleNames();
    return roles.key(name, -1);
}

void writeRows(const QAbstractItemModel *liveList) {
    static const int idRole = roleByName(liveList, "transponderId");
    static const int onlineRole = roleByName(liveList, "isTransponderOnline");
    static const int limitRole = roleByName(liveList, "limitValue");
    QByteArrayList rows;
    for (int row = 0; row < liveList->rowCount(); ++row) {
        const QModelIndex index = liveList->index(row, 0);
        rows << QByteArray::number(index.data(idRole).toInt()) + ':' +
                    QByteArray::number(index.data(onlineRole).toBool() ? 1 : 0) + ':' +
                    QByteArray::number(index.data(limitRole).toInt());
    }
    std::fprintf(probeOut, "rows %lld %d %s\n", millisecondsOf(Clock::now()), liveList->rowCount(),
                 rows.join(',').constData());
}

// Follows the link state, the live list and its limit mode; retried until the root window is there.
void attachToConsole() {
    QQmlContext *context = rootContext();
    if (!context) {
        QTimer::singleShot(50, qApp, attachToConsole);
        return;
    }
    const QJsonObject arguments{
        {QStringLiteral("arguments"), QJsonArray::fromStringList(QCoreApplication::arguments())},
        {QStringLiteral("platform"), QGuiApplication::platformName()}};
    std::fprintf(probeOut, "args %lld %s\n", millisecondsOf(Clock::now()),
                 QJsonDocument(arguments).toJson(QJsonDocument::Compact).constData());
    std::fflush(probeOut);
    auto *linkState = qobject_cast<RetranslatorState *>(
        context->contextProperty(QStringLiteral("retranlatorState")).value<QObject *>());
    auto *liveList = context->contextProperty(QStringLiteral("transpondersListModel")).value<QAbstractItemModel *>();
    if (linkState) {
        writeLinkState(linkState->state());
        QObject::connect(linkState, &RetranslatorState::stateChanged, qApp, writeLinkState);
    }
    if (liveList) {
        auto *rowsTimer = new QTimer(qApp);
        QObject::connect(rowsTimer, &QTimer::timeout, [liveList] { writeRows(liveList); });
        rowsTimer->start(1000);
    }
    if (auto *limitControl = qobject_cast<TranspondersListModel *>(liveList))
        QObject::connect(limitControl, &TranspondersListModel::limitModeChanged, qApp, writeLimitMode);
}

// Posts a call into the main thread every 10 ms from a thread of its own.
void startPosting() {
    auto *thread = new QThread;
    auto *timer = new QTimer;
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(10);
    timer->moveToThread(thread);
    QObject::connect(thread, &QThread::started, timer, qOverload<>(&QTimer::start));
    QObject::connect(timer, &QTimer::timeout, timer, [] {
        const Clock::time_point posted = Clock::now();
        QMetaObject::invokeMethod(
            qApp,
            [posted] { std::fprintf(probeOut, "post %lld %lld\n", millisecondsOf(posted), microsecondsSince(posted)); },
            Qt::QueuedConnection);
    });
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, [thread, timer] {
        QMetaObject::invokeMethod(
            timer, [timer] { timer->stop(); }, Qt::BlockingQueuedConnection);
        thread->quit();
        thread->wait();
        delete timer;
        delete thread;
    });
    thread->start();
}

// A precise 10 ms timer of the main thread, and how late it fires.
void startTimer() {
    auto *timer = new QTimer(qApp);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(10);
    auto *due = new Clock::time_point(Clock::now() + std::chrono::milliseconds(10));
    QObject::connect(timer, &QTimer::timeout, [due] {
        std::fprintf(probeOut, "timer %lld %lld\n", millisecondsOf(Clock::now()),
                     std::max(0LL, microsecondsSince(*due)));
        *due = Clock::now() + std::chrono::milliseconds(10);
    });
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, [due] { delete due; });
    timer->start();
}

// Marks every mouse button release that reaches a window: where a click starts inside the console.
class ReleaseLog : public QObject {
public:
    using QObject::QObject;

    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::MouseButtonRelease && watched->isWindowType()) {
            const Clock::time_point now = Clock::now();
            std::fprintf(probeOut, "release %lld %lld\n", millisecondsOf(now), microsecondsOf(now));
        }
        return false;
    }
};

void startProbe() {
    const QByteArray path = qgetenv("DEVIV_PROBE_OUT");
    if (path.isEmpty())
        return;
    probeOut = std::fopen(path.constData(), "w");
    if (!probeOut)
        return;
    // Line-buffered: tests and benchmarks read the file while the console runs and may end it with a signal.
    std::setvbuf(probeOut, nullptr, _IOLBF, 0);
    startPosting();
    startTimer();
    qApp->installEventFilter(new ReleaseLog(qApp));
    QTimer::singleShot(0, qApp, attachToConsole);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(startProbe)
