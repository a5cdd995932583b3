#pragma once

#include <QDate>
#include <QFile>
#include <QObject>
#include <QTimer>
#include <deque>
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
// Nothing is lost to a file that cannot be written (a full disk, a spreadsheet holding it): the events wait in
// memory, in order, and are written once the file takes them again, at the next event or within 5 s. A day file
// that stays locked for 30 s is left for a second one of the same day. Floods of limits from one source are capped
// at a few lines a second, plus one line that counts the rest.
class EventRecordWriter : public QObject {
    Q_OBJECT

public:
    // Events kept in memory while the file cannot be written; the ones beyond are counted.
    static constexpr int maxWaiting = 10000;

    EventRecordWriter(const QString &folder, EventRecord::Clock clock, QObject *parent = nullptr);
    ~EventRecordWriter() override;

    void write(const RecordedEvent &event);
    // Writes the counts of the seconds that are over and what waits.
    void catchUp();
    // Writes everything, into another file of the day if the day's file still refuses; closes the file.
    void finish();

    // events-2026-12-08.csv, then events-2026-12-08_2.csv and on for a day whose file stayed locked.
    static QString fileName(const QDate &day, int part = 1);

private:
    // The events of one flood-prone kind and source within one second.
    struct Second {
        QDateTime start;
        int written = 0;
        int more = 0;
        QDateTime lastMore;
    };
    using SecondKey = std::pair<RecordedEventKind, QString>;

    bool withinCap(const RecordedEvent &event);
    void endSeconds(const QDateTime &now, bool all);
    void queue(const RecordedEvent &event);
    bool writeWaiting();
    bool openDay(const QDate &day);
    bool append(const QByteArray &bytes);
    void failed(const QString &reason);
    void leaveFile(const QDate &day);
    void scheduleCatchUp();

    QString m_folder;
    EventRecord::Clock m_clock;
    QFile m_file;
    QDate m_openDay;
    QDate m_partDay;  // the day whose file is a later part, and that part
    int m_part = 1;
    std::deque<RecordedEvent> m_waiting;
    qint64 m_notKept = 0;      // events beyond maxWaiting while writing failed
    QDateTime m_failingSince;  // invalid while writing works; restarts when a locked file is left
    QDateTime m_lastAttempt;   // while writing fails: the last try
    qint64 m_writtenLate = 0;  // events that waited while writing failed
    std::map<SecondKey, Second> m_seconds;
    QTimer m_catchUpTimer;
};
