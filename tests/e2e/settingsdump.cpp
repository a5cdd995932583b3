// Prints the console's per-user settings store as one JSON object ({"group/key": value, ...}), so that
// end-to-end tests can check what the real executable stored. The store is found the same way the console
// finds it (XDG_CONFIG_HOME on Linux).

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSettings>
#include <cstdio>

#include "models/settingsidentity.h"

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, SettingsIdentity::organization(),
                       SettingsIdentity::application());
    QJsonObject dump;
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys)
        dump.insert(key, QJsonValue::fromVariant(settings.value(key)));
    std::fputs(QJsonDocument(dump).toJson(QJsonDocument::Compact).constData(), stdout);
    std::fputs("\n", stdout);
    return settings.status() == QSettings::NoError ? 0 : 1;
}
