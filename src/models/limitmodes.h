#pragma once

#include <QMap>
#include <QString>

// The RPM of each limit mode: "p0" 0, "p25" and "p50" from the settings store, "p100" 10000.
// One table for the whole process, touched only in the main thread.
extern QMap<QString, int> rpmByLimitMode;

namespace LimitModes {
constexpr int defaultP25Rpm = 2300;
constexpr int defaultP50Rpm = 3000;
constexpr int unlimitedRpm = 10000;
}  // namespace LimitModes
