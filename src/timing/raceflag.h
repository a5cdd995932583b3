#pragma once

#include <QMetaType>
#include <QString>

// The flag the timing system shows for the session; None between sessions or when it shows none.
enum class RaceFlag { None, Green, Yellow, Red, Finish };
Q_DECLARE_METATYPE(RaceFlag)

// "green", "yellow", "red", "finish", or "" for no flag.
inline QString raceFlagName(RaceFlag flag) {
    switch (flag) {
        case RaceFlag::Green: return QStringLiteral("green");
        case RaceFlag::Yellow: return QStringLiteral("yellow");
        case RaceFlag::Red: return QStringLiteral("red");
        case RaceFlag::Finish: return QStringLiteral("finish");
        case RaceFlag::None: break;
    }
    return QString();
}
