#pragma once

#include <QJsonObject>
#include <QObject>
#include <QStringList>
#include <QVariant>
#include <memory>

#include "models/applicationsettingsmodel.h"
#include "models/transponderslistmodel.h"
#include "models/transpondersmodel.h"
#include "net/retranslatorstate.h"
#include "timing/flagfollower.h"
#include "timing/timingfeed.h"

class QQmlEngine;

// Publishes the real core objects to one QML engine under the names the console uses, and lets the QML
// tests play the parts of the network and of time: transponder reports, link state, application commands
// from other consoles, the list's clock and its ageing sweep. Also reads back the settings store.
class TestDriver : public QObject {
    Q_OBJECT

public:
    explicit TestDriver(QQmlEngine *engine);
    ~TestDriver() override;

    // A report of one transponder, as the exchange delivers it.
    Q_INVOKABLE void report(int transponderId, int rpmValue, int limitValue, int rssiValue);
    // Merges keys into the retranslator link state, as status frames and the link check do.
    Q_INVOKABLE void mergeLinkState(const QJsonObject &update);
    // Replaces the link state with a fresh, empty one (nothing heard from the retranslator yet).
    Q_INVOKABLE void resetLinkState();
    // Empties the stored RPM settings and publishes a settings store loaded afresh, as after a restart.
    Q_INVOKABLE void resetRpmSettings();
    // An application command received from another console.
    Q_INVOKABLE void remoteCommand(const QJsonObject &command);
    // A global limit chosen with a limit key.
    Q_INVOKABLE void limitKey(const QString &mode, const QString &keyName);
    Q_INVOKABLE void advanceClock(double milliseconds);
    // Runs the live list's ageing sweep now instead of waiting for its timer.
    Q_INVOKABLE void sweep();
    // Runs the live list's check for limits not taken now instead of waiting for its timer.
    Q_INVOKABLE void checkLimits();

    // The stored value under "group/key", and the name of its type ("QString", "double", ...).
    Q_INVOKABLE QVariant storedValue(const QString &key) const;
    Q_INVOKABLE QString storedType(const QString &key) const;
    Q_INVOKABLE QStringList storedKeys(const QString &group) const;

    // The QML warnings (binding and script errors) the engine reported since the last call.
    Q_INVOKABLE QStringList takeQmlWarnings();

private:
    void publishSettings(std::unique_ptr<ApplicationSettingsModel> settings);

    QQmlEngine *m_engine;
    qint64 m_nowMs;
    std::unique_ptr<ApplicationSettingsModel> m_settings;
    TranspondersListModel m_liveList;
    TranspondersModel m_registry;
    TimingFeed m_timingFeed;
    FlagFollower m_flagFollower{m_timingFeed, m_liveList};
    std::unique_ptr<RetranslatorState> m_linkState;
    QStringList m_qmlWarnings;
};
