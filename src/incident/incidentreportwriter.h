#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QTimer>
#include <deque>

#include "incidentreport.h"

// Writes incident reports into their folder, in the reports' own thread (IncidentRecorder): the HTML file and the
// CSV beside it, named after the first mark, never over an existing file. A report that cannot be written (a full
// disk, an unwritable folder) waits in memory and is tried again every 5 s, with one warning when it first fails
// and one when it is written late.
class IncidentReportWriter : public QObject {
    Q_OBJECT

public:
    static constexpr int retryMs = 5000;
    // Reports kept waiting at most; past that the oldest is given up, so that a disk full for hours stays bounded.
    static constexpr int maxWaiting = 10;

    explicit IncidentReportWriter(const QString &folder, QObject *parent = nullptr);

    // baseName: "incident-2026-12-09-14-03-05"; "-2", "-3", ... is added while a file of that name exists.
    void write(const QString &baseName, IncidentReportData data);
    // Tries each waiting report once more while the deadline allows; what is still waiting is lost, with a warning.
    void finish(const QDeadlineTimer &deadline);

signals:
    void written(QString path);
    void notWrittenYet(QString baseName, QString reason);

private:
    struct Waiting {
        QString baseName;
        IncidentReportData data;
        bool failed = false;
    };

    void writeWaiting(const QDeadlineTimer &deadline);
    // The HTML file's path, or empty with `error` set.
    QString tryWrite(const Waiting &report, QString *error) const;

    QString m_folder;
    std::deque<Waiting> m_waiting;
    QTimer m_retryTimer;
};
