#pragma once

#include <QMap>
#include <QString>

// The RPM of each limit mode: "p0" 0, "p25" and "p50" from the settings store, "p100" the unlimited RPM.
// One table for the whole process, touched only in the main thread.
extern QMap<QString, int> rpmByLimitMode;

namespace LimitModes {
constexpr int defaultP25Rpm = 2300;
constexpr int defaultP50Rpm = 3000;
}  // namespace LimitModes
