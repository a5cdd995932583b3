#pragma once

#include <QJsonObject>
#include <QObject>
#include <QSettings>

#include "settingsidentity.h"

// Keeps the adjustable RPM values ("p25RpmValue", "p50RpmValue" in the group "rpmSettings") in the per-user
// settings store and hands them to QML. Any group and key given to updateSettings() is written and cached.
class ApplicationSettingsModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QJsonObject rpmSettings READ rpmSettings)

public:
    explicit ApplicationSettingsModel(QObject *parent = nullptr);

    QJsonObject rpmSettings() const;

signals:
    void settingsUpdated(QString settingsId, QJsonObject json);

public slots:
    void updateSettings(QString settingsId, QJsonObject json);

private:
    QJsonObject m_groups;
    QSettings m_settings{QSettings::NativeFormat, QSettings::UserScope, SettingsIdentity::organization(),
                         SettingsIdentity::application()};
};
