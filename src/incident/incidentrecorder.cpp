#include "incidentrecorder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>

#include "incidentlogging.h"
#include "incidentreportwriter.h"

IncidentRecorder::IncidentRecorder(const QString &folder, KartNumberLookup kartNumber,
                                   FlightRecorder::SteadyClock steadyClock, WallClock wallClock, QObject *parent)
    : QObject(parent),
      m_flight(std::move(steadyClock)),
      m_kartNumber(std::move(kartNumber)),
      m_wallClock(std::move(wallClock)),
      m_reportFolder(QDir(folder).filePath(QStringLiteral("incidents"))),
      m_dueTimer(this),
      m_writer(new IncidentReportWriter(m_reportFolder)) {
    m_dueTimer.setSingleShot(true);
    connect(&m_dueTimer, &QTimer::timeout, this, &IncidentRecorder::handOverDueReport);
    m_thread.setObjectName(QStringLiteral("incident reports"));
    m_writer->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_writer, &QObject::deleteLater);
    connect(m_writer, &IncidentReportWriter::written, this, &IncidentRecorder::reportWritten);
    connect(m_writer, &IncidentReportWriter::notWrittenYet, this, &IncidentRecorder::reportNotWrittenYet);
    // Only the CPU that nothing else wants: a report must never hold up the operator's clicks.
    m_thread.start(QThread::IdlePriority);
}

IncidentRecorder::~IncidentRecorder() {
    const QDeadlineTimer deadline(exitWriteMs);
    if (m_open) {
        m_open->toMs = std::min(m_open->toMs, m_flight.now());
        handOver();
    }
    // Queued calls run in order: this one after every report handed over before, and then the thread ends.
    QMetaObject::invokeMethod(
        m_writer,
        [writer = m_writer, deadline] {
            writer->finish(deadline);
            QThread::currentThread()->quit();
        },
        Qt::QueuedConnection);
    if (!m_thread.wait(deadline)) {
        qCWarning(lcIncident) << "Incident reports: still writing when the time to exit was up";
        m_thread.wait();
    }
    // The event loop has ended: the reports written now are told here, so that the event record has them.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

void IncidentRecorder::mark(const QString &what) {
    const qint64 now = m_flight.now();
    emit incidentMarked(what, m_wallClock());
    if (m_open && now < m_open->toMs) {
        m_open->marks.append({now, what});
        m_open->toMs = std::min(now + afterMarkMs, m_open->fromMs + longestReportMs);
    } else {
        if (m_open)
            handOver();
        m_open = OpenReport{now - beforeMarkMs, now + afterMarkMs, {{now, what}}};
    }
    scheduleDue();
}

void IncidentRecorder::handOverDueReport() {
    if (m_open && m_flight.now() >= m_open->toMs)
        handOver();
    scheduleDue();
}

// Copies the open report's window and hands it to the writer's thread; this is all a report costs this thread.
void IncidentRecorder::handOver() {
    QElapsedTimer held;
    held.start();
    IncidentReportData data;
    data.window = m_flight.window(m_open->fromMs, m_open->toMs);
    data.marks = m_open->marks;
    data.wall = {m_flight.now(), m_wallClock()};
    QVector<int> ids = m_flight.transpondersHeardSince(m_open->fromMs);
    for (const LimitChoice &choice : data.window.limits)
        ids.append(choice.transponderId);  // a kart chosen on its own may be silent
    for (int id : ids) {
        const QString number = m_kartNumber && id != 0 ? m_kartNumber(id) : QString();
        if (!number.isEmpty())
            data.kartNumbers.insert(id, number);
    }
    const QString baseName =
        QStringLiteral("incident-") +
        data.wall.at(m_open->marks.first().steadyMs).toString(QStringLiteral("yyyy-MM-dd-HH-mm-ss"));
    m_open.reset();
    qCDebug(lcIncident).noquote() << "Incident report" << baseName << "copied:" << data.window.sampleCount()
                                  << "samples in" << held.elapsed() << "ms";
    QMetaObject::invokeMethod(
        m_writer,
        [writer = m_writer, baseName, data = std::move(data)]() mutable { writer->write(baseName, std::move(data)); },
        Qt::QueuedConnection);
}

void IncidentRecorder::scheduleDue() {
    if (!m_open) {
        m_dueTimer.stop();
        return;
    }
    m_dueTimer.start(int(std::clamp<qint64>(m_open->toMs - m_flight.now(), 0, longestReportMs)));
}
