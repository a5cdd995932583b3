#pragma once

#include <QDate>
#include <QFile>
#include <QObject>
#include <QTimer>
#include <map>
#include <utility>

#include "eventrecord.h"

// Local time with milliseconds and the offset from UTC, 2026-12-08T14:03:05.123+01:00.
QString csvTimeText(const QDateTime &time);

// A text field as a spreadsheet reads it back unchanged: quoted when it holds a separator, a quote or a line
// break (quotes doubled), and led by an apostrophe when it starts like a formula, since texts such as a limit
// mode can come from another console.
QString csvTextField(QString text);

// Writes the event record's lines into the day files: a byte order mark and the header line in a new file, one
// line per event, flushed at once. Lives in the record's thread (EventRecord); tests drive it directly.
//
// Bursts: the first event of a flood-prone kind (limits and RESET, which other consoles can send without end)
// from one source opens a window of one second. Within it, events identical to the last one written are only
// counted, and at most a few different ones are written; at the window's end one line each gives the repeats and
// the events left out. A flood thus adds a few lines a second, whatever its rate.
class EventRecordWriter : public QObject {
    Q_OBJECT

public:
    EventRecordWriter(const QString &folder, EventRecord::Clock clock, QObject *parent = nullptr);
    ~EventRecordWriter() override;

    void removeOldFiles();
    void write(const RecordedEvent &event);
    // Ends the bursts whose second is over by the clock, writing their counts.
    void closeBursts();
    // Ends every burst and closes the file.
    void finish();

    static QString fileName(const QDate &day);

private:
    struct Burst {
        QDateTime end;
        RecordedEvent lastWritten;
        int repeats = 0;  // events identical to lastWritten since it was written
        QDateTime lastRepeat;
        int written = 1;
        int leftOut = 0;
        QDateTime lastSeen;
    };
    using BurstKey = std::pair<RecordedEventKind, QString>;

    void closeBursts(const QDateTime &now, bool all);
    void writeRepeats(Burst &burst);
    void scheduleBurstEnd();
    void writeLine(const RecordedEvent &event);
    bool openDay(const QDate &day);
    bool append(const QByteArray &bytes);
    void fail(const QString &reason);

    QString m_folder;
    EventRecord::Clock m_clock;
    QFile m_file;
    QDate m_openDay;
    QDate m_failedDay;
    std::map<BurstKey, Burst> m_bursts;
    QTimer m_burstTimer;
};
