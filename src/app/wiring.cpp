#include "wiring.h"

#include <QWindow>

#include "control/eventrecordfeed.h"
#include "control/globalhotkeys.h"
#include "incident/incidentrecorder.h"
#include "models/applicationsettingsmodel.h"
#include "models/transponderslistmodel.h"
#include "net/dataexchange.h"
#include "timing/flagfollower.h"
#include "timing/timingfeed.h"

void connectSettingsToLiveList(ApplicationSettingsModel &settings, TranspondersListModel &liveList) {
    QObject::connect(&settings, &ApplicationSettingsModel::settingsUpdated, &liveList,
                     &TranspondersListModel::updateSettings);
}

void connectExchangeAndLiveList(DataExchange &exchange, TranspondersListModel &liveList) {
    QObject::connect(&exchange, &DataExchange::updateTransponderState, &liveList,
                     &TranspondersListModel::updateTransponderState);
    QObject::connect(&exchange, &DataExchange::remoteAppCommand, &liveList, &TranspondersListModel::remoteAppCommand);
    QObject::connect(&liveList, &TranspondersListModel::updateTranspondersLimit, &exchange,
                     &DataExchange::updateTranspondersLimits);
    QObject::connect(&liveList, &TranspondersListModel::resendCommandToApps, &exchange, &DataExchange::resendToApps);
    QObject::connect(&liveList, &TranspondersListModel::setTransponderLimit, &exchange,
                     &DataExchange::setTransponderLimit);
}

void connectExchangeToRecord(DataExchange &exchange, EventRecordFeed &feed) {
    QObject::connect(&exchange, &DataExchange::globalLimitReasserted, &feed, &EventRecordFeed::globalLimitReasserted);
    QObject::connect(&exchange, &DataExchange::mergingEnded, &feed, &EventRecordFeed::mergingEnded);
    QObject::connect(exchange.linkState(), &RetranslatorState::stateChanged, &feed, &EventRecordFeed::linkStateChanged);
}

void connectTimingFeed(TimingFeed &feed, FlagFollower &follower, DataExchange &exchange, EventRecordFeed &recordFeed) {
    QObject::connect(&feed, &TimingFeed::feedConnected, &recordFeed, &EventRecordFeed::timingFeedConnected);
    QObject::connect(&feed, &TimingFeed::feedLost, &recordFeed, &EventRecordFeed::timingFeedLost);
    QObject::connect(&follower, &FlagFollower::flagChanged, &recordFeed, &EventRecordFeed::flagChanged);
    QObject::connect(&follower, &FlagFollower::personsLimitStands, &recordFeed, &EventRecordFeed::personsLimitStands);
    QObject::connect(exchange.linkState(), &RetranslatorState::stateChanged, &follower,
                     &FlagFollower::linkStateChanged);
}

void connectIncidentRecorder(IncidentRecorder &recorder, TranspondersListModel &liveList, DataExchange &exchange,
                             EventRecordFeed &recordFeed) {
    using M = TranspondersListModel;
    QObject::connect(&liveList, &M::transponderReported, &recorder, &IncidentRecorder::addReport);
    QObject::connect(exchange.linkState(), &RetranslatorState::stateChanged, &recorder,
                     [&recorder](const QJsonObject &state) {
                         recorder.addLinkState(state.value(QStringLiteral("isOnline")).toBool(),
                                               state.value(QStringLiteral("ipAddress")).toString(),
                                               state.value(QStringLiteral("globalRPMLimit")).toInt(-1));
                     });
    QObject::connect(&liveList, &M::globalLimitApplied, &recorder,
                     [&recorder](const QString &mode, int rpm, const LimitSource &source) {
                         if (source.kind == LimitSource::OwnCommand)
                             return;
                         recorder.addChosenLimit(0, mode, rpm, source.text());
                         if (mode == QLatin1String("p0"))
                             recorder.mark(QStringLiteral("STOP for all karts, ") + source.text());
                     });
    QObject::connect(&liveList, &M::transponderLimitApplied, &recorder,
                     [&recorder](int transponderId, const QString &mode, int rpm, const LimitSource &source) {
                         if (source.kind != LimitSource::OwnCommand)
                             recorder.addChosenLimit(transponderId, mode, rpm, source.text());
                     });
    QObject::connect(&recorder, &IncidentRecorder::incidentMarked, &recordFeed, &EventRecordFeed::incidentMarked);
    QObject::connect(&recorder, &IncidentRecorder::reportWritten, &recordFeed, &EventRecordFeed::incidentReportWritten);
}

void connectRaceControl(GlobalHotkeys &keys, TranspondersListModel &liveList, IncidentRecorder &incidents,
                        QWindow *window) {
    QObject::connect(&keys, &GlobalHotkeys::incidentKeyPressed, &incidents,
                     [&incidents](const QString &keyName) { incidents.mark(QStringLiteral("key ") + keyName); });
    QObject::connect(&keys, &GlobalHotkeys::limitKeyPressed, &liveList,
                     [&liveList](const QString &limitMode, const QString &keyName) {
                         liveList.chooseGlobalLimit(limitMode, {LimitSource::Key, keyName});
                     });
    QObject::connect(&liveList, &TranspondersListModel::limitNotTaken, window, [window] {
        if (!window->isActive())
            window->alert(0);
    });
}
