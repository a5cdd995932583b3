#include "testdriver.h"

#include <QQmlContext>
#include <QQmlEngine>
#include <QSettings>

#include "app/wiring.h"
#include "models/settingsidentity.h"

namespace {

// Any fixed point in time will do; the list only looks at differences.
constexpr qint64 startOfTestMs = 1700000000000;

QSettings openStore() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, SettingsIdentity::organization(),
                     SettingsIdentity::application());
}

}  // namespace

TestDriver::TestDriver(QQmlEngine *engine)
    : QObject(engine),
      m_engine(engine),
      m_nowMs(startOfTestMs),
      m_liveList([this] { return m_nowMs; }),
      m_linkState(std::make_unique<RetranslatorState>()) {
    publishSettings(std::make_unique<ApplicationSettingsModel>());
    QQmlContext *context = engine->rootContext();
    context->setContextProperty(QStringLiteral("transpondersListModel"), &m_liveList);
    context->setContextProperty(QStringLiteral("retranlatorState"), m_linkState.get());
    context->setContextProperty(QStringLiteral("transpondersModel"), &m_registry);
    context->setContextProperty(QStringLiteral("timingFeed"), &m_timingFeed);
    context->setContextProperty(QStringLiteral("flagFollower"), &m_flagFollower);
    context->setContextProperty(QStringLiteral("testDriver"), this);

    connect(engine, &QQmlEngine::warnings, this, [this](const QList<QQmlError> &warnings) {
        for (const QQmlError &warning : warnings)
            m_qmlWarnings.append(warning.toString());
    });
}

TestDriver::~TestDriver() = default;

void TestDriver::report(int transponderId, int rpmValue, int limitValue, int rssiValue) {
    DataExchange::TransponderState state{};
    state.transponderId = transponderId;
    state.rpmValue = rpmValue;
    state.limitValue = limitValue;
    state.rssiValue = rssiValue;
    m_liveList.updateTransponderState(state);
}

// The same hand-over as at start-up: the limit table takes the stored RPM values, and later changes follow.
void TestDriver::publishSettings(std::unique_ptr<ApplicationSettingsModel> settings) {
    connectSettingsToLiveList(*settings, m_liveList);
    m_liveList.loadRpmSettings(settings->rpmSettings());
    m_engine->rootContext()->setContextProperty(QStringLiteral("appSettings"), settings.get());
    m_settings = std::move(settings);  // a previous store goes only once QML holds the new one
}

void TestDriver::resetRpmSettings() {
    openStore().remove(QStringLiteral("rpmSettings"));
    publishSettings(std::make_unique<ApplicationSettingsModel>());
}

void TestDriver::mergeLinkState(const QJsonObject &update) {
    m_linkState->updateState(update);
}

void TestDriver::resetLinkState() {
    auto fresh = std::make_unique<RetranslatorState>();
    m_engine->rootContext()->setContextProperty(QStringLiteral("retranlatorState"), fresh.get());
    m_linkState = std::move(fresh);
}

void TestDriver::remoteCommand(const QJsonObject &command) {
    m_liveList.remoteAppCommand(command);
}

void TestDriver::limitKey(const QString &mode, const QString &keyName) {
    m_liveList.chooseGlobalLimit(mode, {LimitSource::Key, keyName});
}

void TestDriver::advanceClock(double milliseconds) {
    m_nowMs += qint64(milliseconds);
}

void TestDriver::sweep() {
    QMetaObject::invokeMethod(&m_liveList, "refreshList");
}

void TestDriver::checkLimits() {
    QMetaObject::invokeMethod(&m_liveList, "checkLimitsTaken");
}

QVariant TestDriver::storedValue(const QString &key) const {
    return openStore().value(key);
}

QString TestDriver::storedType(const QString &key) const {
    return QString::fromLatin1(openStore().value(key).typeName());
}

QStringList TestDriver::storedKeys(const QString &group) const {
    QSettings store = openStore();
    store.beginGroup(group);
    return store.childKeys();
}

QStringList TestDriver::takeQmlWarnings() {
    QStringList taken;
    taken.swap(m_qmlWarnings);
    return taken;
}
