#pragma once

#include <QDateTime>
#include <QObject>
#include <QThread>
#include <QTimer>
#include <functional>
#include <optional>

#include "flightrecorder.h"
#include "incidentreport.h"

class IncidentReportWriter;

// The console's flight recorder and its incident reports. A mark (STOP for all karts, F8) opens a report of the
// 3 minutes before it and the 60 s after; a mark within that window moves its end to 60 s after the newest mark,
// up to 10 minutes in all, and a mark after it opens the next report. When the window ends, it is copied and
// written in a thread of the reports' own, into <folder>/incidents/incident-<local date and time of the first
// mark>.html and .csv. Main thread; fed through the add methods.
class IncidentRecorder : public QObject {
    Q_OBJECT

public:
    using KartNumberLookup = std::function<QString(int transponderId)>;
    using WallClock = std::function<QDateTime()>;

    static constexpr qint64 beforeMarkMs = 3 * 60 * 1000;
    static constexpr qint64 afterMarkMs = 60 * 1000;
    static constexpr qint64 longestReportMs = FlightRecorder::keptMs;
    // The most the destructor takes to write what is pending.
    static constexpr int exitWriteMs = 2000;

    // folder: the console's data folder (the event record's); kartNumber: the kart number of a transponder, looked
    // up when a report's window is copied. An empty steady clock is a QElapsedTimer.
    IncidentRecorder(const QString &folder, KartNumberLookup kartNumber, FlightRecorder::SteadyClock steadyClock = {},
                     WallClock wallClock = &QDateTime::currentDateTime, QObject *parent = nullptr);
    // Writes the open report, up to now, and any waiting one, within exitWriteMs.
    ~IncidentRecorder() override;

    void addReport(const TransponderState &report) { m_flight.addReport(report); }
    void addLinkState(bool online, const QString &address, int globalLimit) {
        m_flight.addLinkState(online, address, globalLimit);
    }
    // transponderId 0: all karts. mode: "p0", "p25", "p50", "p100"; source: "click", "key F12", an address, ...
    void addChosenLimit(int transponderId, const QString &mode, int rpm, const QString &source) {
        m_flight.addChosenLimit(transponderId, mode, rpm, source);
    }
    void mark(const QString &what);

    QString reportFolder() const { return m_reportFolder; }

public slots:
    // Hands the open report to the writer once its window has ended by the steady clock (its timer calls this).
    void handOverDueReport();

signals:
    void incidentMarked(QString what, QDateTime when);
    void reportWritten(QString path);
    void reportNotWrittenYet(QString baseName, QString reason);

private:
    struct OpenReport {
        qint64 fromMs;
        qint64 toMs;
        QVector<IncidentMark> marks;
    };

    void handOver();
    void scheduleDue();

    FlightRecorder m_flight;
    KartNumberLookup m_kartNumber;
    WallClock m_wallClock;
    QString m_reportFolder;
    std::optional<OpenReport> m_open;
    QTimer m_dueTimer;
    QThread m_thread;
    IncidentReportWriter *m_writer;
};
