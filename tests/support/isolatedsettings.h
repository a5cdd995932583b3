#pragma once

#include <QSettings>
#include <QTemporaryDir>

#include "models/settingsidentity.h"

// Points the per-user settings store at a fresh temporary directory for as long as it lives.
class IsolatedSettings {
public:
    IsolatedSettings() { QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path()); }

    // A handle of its own on the same store, to look at or prepare what the models read.
    static std::unique_ptr<QSettings> open() {
        return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                           SettingsIdentity::organization(), SettingsIdentity::application());
    }

private:
    QTemporaryDir m_dir;
};
