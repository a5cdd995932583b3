#include "timingfeedsettings.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QSettings>

#include "models/settingsidentity.h"

namespace {

const QString group = QStringLiteral("timingFeed");
const QString addressKey = QStringLiteral("address");
const QString onYellowKey = QStringLiteral("onYellow");
const QString onRedKey = QStringLiteral("onRed");
const QString onFinishKey = QStringLiteral("onFinish");
const QString releaseOnGreenKey = QStringLiteral("releaseOnGreen");

QString limitMode(const QVariant &value, const QString &defaultMode) {
    const QString mode = value.toString();
    const bool known = value.isValid() && (mode.isEmpty() || mode == QLatin1String("p0") ||
                                           mode == QLatin1String("p25") || mode == QLatin1String("p50"));
    return known ? mode : defaultMode;
}

// A stored flag: true or false as JSON, text ("true", "false") or a registry number (1, 0).
bool flag(const QVariant &value, bool defaultValue) {
    const QString text = value.toString().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("1"))
        return true;
    if (text == QLatin1String("false") || text == QLatin1String("0"))
        return false;
    return defaultValue;
}

void enterGroup(QSettings &settings) {
    SettingsIdentity::readOwnFileOnly(settings);
    settings.beginGroup(group);
}

}  // namespace

TimingFeedSettings TimingFeedSettings::load() {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, SettingsIdentity::organization(),
                       SettingsIdentity::application());
    enterGroup(settings);
    TimingFeedSettings loaded;
    loaded.address = settings.value(addressKey).toString();
    loaded.onYellow = limitMode(settings.value(onYellowKey), loaded.onYellow);
    loaded.onRed = limitMode(settings.value(onRedKey), loaded.onRed);
    loaded.onFinish = limitMode(settings.value(onFinishKey), loaded.onFinish);
    loaded.releaseOnGreen = flag(settings.value(releaseOnGreenKey), loaded.releaseOnGreen);
    return loaded;
}

void TimingFeedSettings::save() const {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, SettingsIdentity::organization(),
                       SettingsIdentity::application());
    enterGroup(settings);
    settings.setValue(addressKey, address);
    settings.setValue(onYellowKey, onYellow);
    settings.setValue(onRedKey, onRed);
    settings.setValue(onFinishKey, onFinish);
    settings.setValue(releaseOnGreenKey, releaseOnGreen);
}

QJsonObject TimingFeedSettings::toJson() const {
    return {{addressKey, address},
            {onYellowKey, onYellow},
            {onRedKey, onRed},
            {onFinishKey, onFinish},
            {releaseOnGreenKey, releaseOnGreen}};
}

TimingFeedSettings TimingFeedSettings::fromJson(const QJsonObject &json) {
    TimingFeedSettings settings;
    settings.address = json.value(addressKey).toString();
    settings.onYellow = limitMode(json.value(onYellowKey).toVariant(), settings.onYellow);
    settings.onRed = limitMode(json.value(onRedKey).toVariant(), settings.onRed);
    settings.onFinish = limitMode(json.value(onFinishKey).toVariant(), settings.onFinish);
    settings.releaseOnGreen = flag(json.value(releaseOnGreenKey).toVariant(), settings.releaseOnGreen);
    return settings;
}

std::optional<FeedAddress> parseFeedAddress(const QString &text) {
    // Host name labels of letters, digits, '-' and '_', then an optional port of up to five digits.
    static const QRegularExpression pattern(
        QStringLiteral("^([A-Za-z0-9_-]+(?:\\.[A-Za-z0-9_-]+)*)(?::([0-9]{1,5}))?$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    FeedAddress address;
    address.host = match.captured(1);
    if (match.lastCapturedIndex() == 2) {
        const int port = match.captured(2).toInt();
        if (port < 1 || port > 65535)
            return std::nullopt;
        address.port = quint16(port);
    }
    // Digits and dots only: an IPv4 address, written out in full.
    static const QRegularExpression numeric(QStringLiteral("^[0-9.]+$"));
    if (numeric.match(address.host).hasMatch() && QHostAddress(address.host).toString() != address.host)
        return std::nullopt;
    return address;
}

bool isUsableFeedAddress(const QString &text) {
    return text.isEmpty() || parseFeedAddress(text).has_value();
}
