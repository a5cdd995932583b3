#include "wiring.h"

#include <QWindow>

#include "control/eventrecordfeed.h"
#include "control/globalhotkeys.h"
#include "models/applicationsettingsmodel.h"
#include "models/transponderslistmodel.h"
#include "net/dataexchange.h"

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

void connectRaceControl(GlobalHotkeys &keys, TranspondersListModel &liveList, QWindow *window) {
    QObject::connect(&keys, &GlobalHotkeys::limitKeyPressed, &liveList,
                     [&liveList](const QString &limitMode, const QString &keyName) {
                         liveList.chooseGlobalLimit(limitMode, {LimitSource::Key, keyName});
                     });
    QObject::connect(&liveList, &TranspondersListModel::limitNotTaken, window, [window] {
        if (!window->isActive())
            window->alert(0);
    });
}
