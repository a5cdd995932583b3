#include "wiring.h"

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
