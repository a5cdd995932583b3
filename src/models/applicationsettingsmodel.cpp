#include "applicationsettingsmodel.h"

#include "limitmodes.h"
#include "valueconversion.h"

namespace {

const QString rpmSettingsGroup = QStringLiteral("rpmSettings");

// A stored value that is not an integer loads as the default: reading it as 0 would turn the limit
// mode into an engine stop after a restart.
int storedRpm(const QSettings &settings, const QString &key, int defaultRpm) {
    return variantToInt(settings.value(key, defaultRpm)).value_or(defaultRpm);
}

}  // namespace

ApplicationSettingsModel::ApplicationSettingsModel(QObject *parent) : QObject(parent) {
    SettingsIdentity::readOwnFileOnly(m_settings);
    m_settings.beginGroup(rpmSettingsGroup);
    const QJsonObject rpm{
        {QStringLiteral("p25RpmValue"),
         storedRpm(m_settings, QStringLiteral("p25RpmValue"), LimitModes::defaultP25Rpm)},
        {QStringLiteral("p50RpmValue"),
         storedRpm(m_settings, QStringLiteral("p50RpmValue"), LimitModes::defaultP50Rpm)},
    };
    m_settings.endGroup();
    m_groups.insert(rpmSettingsGroup, rpm);
}

QJsonObject ApplicationSettingsModel::rpmSettings() const {
    return m_groups.value(rpmSettingsGroup).toObject();
}

void ApplicationSettingsModel::updateSettings(QString settingsId, QJsonObject json) {
    m_settings.beginGroup(settingsId);
    QJsonObject group = m_groups.value(settingsId).toObject();
    for (auto it = json.constBegin(); it != json.constEnd(); ++it) {
        m_settings.setValue(it.key(), it.value().toVariant());
        group.insert(it.key(), it.value());
    }
    m_groups.insert(settingsId, group);
    m_settings.endGroup();
    emit settingsUpdated(settingsId, json);
}
