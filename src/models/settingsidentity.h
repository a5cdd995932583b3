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

// The store is the console's own file in the user's settings. Qt would also read the organization's shared
// file and the system-wide ones for keys that file lacks; those are left out, so that the file checked at
// start is the only one read.
inline void readOwnFileOnly(QSettings &settings) {
    settings.setFallbacksEnabled(false);
}
}  // namespace SettingsIdentity
