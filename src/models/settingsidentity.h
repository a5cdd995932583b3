#pragma once

#include <QSettings>
#include <QString>

// The per-user settings store shared by the RPM settings and the kart registry: on Linux the INI file
// <config>/<organization>/zadar.conf, on Windows the registry key HKEY_CURRENT_USER\Software\<organization>\zadar.
namespace SettingsIdentity {

namespace detail {
inline QString &organizationName() {
    static QString name = QStringLiteral("deviv");
    return name;
}
}  // namespace detail

inline QString organization() {
    return detail::organizationName();
}
inline QString application() {
    return QStringLiteral("zadar");
}

// Gives the store another organization name, before any handle opens it. Tests use this to keep a store of
// their own where no path setting can move it: on Windows the registry key follows the name.
inline void setOrganization(const QString &name) {
    detail::organizationName() = name;
}

// The store is the console's own file in the user's settings. Qt would also read the organization's shared
// file and the system-wide ones for keys that file lacks; those are left out, so that the file checked at
// start is the only one read.
inline void readOwnFileOnly(QSettings &settings) {
    settings.setFallbacksEnabled(false);
}
}  // namespace SettingsIdentity
