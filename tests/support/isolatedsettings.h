#pragma once

#include <QCoreApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <memory>

#include "models/settingsidentity.h"

// Gives the per-user settings store a fresh, empty place for as long as it lives: on Linux a temporary
// directory, on Windows a registry key of its own (HKEY_CURRENT_USER\Software\<organization>\zadar under an
// organization name of this process), removed again at the end.
class IsolatedSettings {
public:
    IsolatedSettings() {
        static int stores = 0;
        SettingsIdentity::setOrganization(
            QStringLiteral("deviv-test-%1-%2").arg(QCoreApplication::applicationPid()).arg(++stores));
        // INI files of the user (Qt's own, or a library's) go there too.
        for (const QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat})
            QSettings::setPath(format, QSettings::UserScope, m_dir.path());
        removeRegistryKey();
    }
    ~IsolatedSettings() {
        removeRegistryKey();
        SettingsIdentity::setOrganization(QStringLiteral("deviv"));
    }
    IsolatedSettings(const IsolatedSettings &) = delete;
    IsolatedSettings &operator=(const IsolatedSettings &) = delete;

    // A handle of its own on the same store, to look at or prepare what the models read.
    static std::unique_ptr<QSettings> open() {
        return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                           SettingsIdentity::organization(), SettingsIdentity::application());
    }

private:
    static void removeRegistryKey() {
#ifdef Q_OS_WIN
        QSettings(QStringLiteral("HKEY_CURRENT_USER\\Software"), QSettings::NativeFormat)
            .remove(SettingsIdentity::organization());
#endif
    }

    QTemporaryDir m_dir;
};
