#pragma once

#include <QSettings>
#include <QString>

// The per-user settings store shared by the RPM settings and the kart registry.
namespace SettingsIdentity {
inline QString organization() {
    return QStringLiteral("deviv");
}
inline QString application() {
    return QStringLiteral("zadar");
}
}  // namespace SettingsIdentity
