// Event-latency probe, linked only into the benchmark build of the console (deviv_azeve_probe), beside the
// console's own main.cpp. When DEVIV_LATENCY_PROBE_OUT names a file, it writes one line per sample:
//   "post <us>"   every 10 ms a probe thread posts a call into the main thread; how long the call waited in
//                 the main thread's event queue (the same queue the transponder reports cross);
//   "timer <us>"  how late a 10 ms precise timer of the main thread fired;
//   "rows <n>"    once a second, the number of rows the live list view on screen holds.

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMetaObject>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

long long microsecondsSince(Clock::time_point then) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - then).count();
}

// The row count of the list view that shows the live list, found in the visual tree under `item`, or -1.
int liveListRows(QQuickItem *item) {
    if (qstrcmp(item->metaObject()->className(), "QQuickListView") == 0) {
        const QObject *model = item->property("model").value<QObject *>();
        if (model && model->inherits("TranspondersListModel"))
            return item->property("count").toInt();
    }
    const QList<QQuickItem *> children = item->childItems();
    for (QQuickItem *child : children) {
        const int rows = liveListRows(child);
        if (rows >= 0)
            return rows;
    }
    return -1;
}

int visibleListRows() {
    for (QWindow *window : QGuiApplication::topLevelWindows()) {
        if (auto *quickWindow = qobject_cast<QQuickWindow *>(window)) {
            const int rows = liveListRows(quickWindow->contentItem());
            if (rows >= 0)
                return rows;
        }
    }
    return -1;
}

void startLatencyProbe() {
    const QByteArray path = qgetenv("DEVIV_LATENCY_PROBE_OUT");
    if (path.isEmpty())
        return;
    FILE *out = std::fopen(path.constData(), "w");
    if (!out)
        return;
    // Line-buffered: the benchmark ends the console with a signal, and every finished line must be in the file.
    std::setvbuf(out, nullptr, _IOLBF, 0);

    auto *stop = new std::atomic<bool>(false);
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, [stop] { *stop = true; });
    std::thread([out, stop] {
        auto next = Clock::now();
        while (!*stop) {
            next += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(next);
            const auto posted = Clock::now();
            QMetaObject::invokeMethod(
                qApp, [out, posted] { std::fprintf(out, "post %lld\n", microsecondsSince(posted)); },
                Qt::QueuedConnection);
        }
    }).detach();

    auto *timer = new QTimer(qApp);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(10);
    auto *expected = new Clock::time_point(Clock::now() + std::chrono::milliseconds(10));
    QObject::connect(timer, &QTimer::timeout, [out, expected] {
        std::fprintf(out, "timer %lld\n", std::max(0LL, microsecondsSince(*expected)));
        *expected = Clock::now() + std::chrono::milliseconds(10);
    });
    timer->start();

    auto *rowsTimer = new QTimer(qApp);
    QObject::connect(rowsTimer, &QTimer::timeout, [out] { std::fprintf(out, "rows %d\n", visibleListRows()); });
    rowsTimer->start(1000);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(startLatencyProbe)
