#pragma once

#include <QDateTime>
#include <QHash>
#include <QIODevice>
#include <QString>
#include <QVector>

#include "flightrecorder.h"

// What marked an incident ("STOP for all karts, key F12", "F8") and when, on the steady clock.
struct IncidentMark {
    qint64 steadyMs = 0;
    QString what;
};

// Local wall time for a steady clock reading, from one reading of both: a wall clock set back during the window
// cannot reorder what the report shows.
struct WallMapping {
    qint64 steadyMs = 0;
    QDateTime wall;

    QDateTime at(qint64 ms) const { return wall.addMSecs(ms - steadyMs); }
};

// All a report is made from: a copy, so that it can be written in any thread.
struct IncidentReportData {
    FlightWindow window;
    QVector<IncidentMark> marks;
    QHash<int, QString> kartNumbers;  // transponder id -> kart number, where known
    WallMapping wall;
};

// Whether one kart took one chosen limit within the window.
struct LimitTaking {
    enum class Outcome { Taken, NotTaken, Silent };  // Silent: no report from the kart at or after the choice

    int choice = 0;  // index into the window's limits
    int transponderId = 0;
    Outcome outcome = Outcome::NotTaken;
    qint64 takenMs = 0;  // the kart's first report at or after the choice with the chosen RPM in force
};

// The incident report: pure functions of the copied data, with no clock and no thread of their own.
namespace IncidentReport {

// For each limit chosen in the window, in order, each kart it was for (for a global choice, every kart heard in
// the window), by transponder id.
QVector<LimitTaking> limitTakings(const FlightWindow &window);

// One HTML file that needs nothing else, dygraphs inlined: the summary, then each kart's chart of RPM and the
// limit in force with the chosen limits and the marks as vertical lines. Every outside text is escaped.
void writeHtml(QIODevice &out, const IncidentReportData &data);

// The window's kart samples, one line each, as the event record writes its CSV (UTF-8 with a byte order mark).
void writeCsv(QIODevice &out, const IncidentReportData &data);

}  // namespace IncidentReport
