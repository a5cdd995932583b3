#pragma once

#include <QByteArray>
#include <QString>

#include "raceflag.h"

// What the console takes from one line of an RMonitor feed.
struct RMonitorRecord {
    enum class Kind {
        Other,      // a record the console does not use, or not a record
        Heartbeat,  // $F: the flag, about once a second
        BadFlag,    // $F whose flag field is missing, not six characters, or names no flag
        Init,       // $I: a new session is being set up
        RunName,    // $B: the session's name
    };
    Kind kind = Kind::Other;
    RaceFlag flag = RaceFlag::None;  // Heartbeat
    QString text;                    // RunName: the name; BadFlag: the flag field as received
    QString timeOfDay;               // Heartbeat and BadFlag: the time-of-day field
};

// Reads one line (without its line end): comma-separated fields, text fields in double quotes that may hold
// commas. Flags are matched without regard to case once their padding is trimmed; names are Windows-1252.
RMonitorRecord parseRMonitorLine(const QByteArray &line);
