#pragma once

class ApplicationSettingsModel;
class DataExchange;
class TranspondersListModel;

// New RPM settings reach the live list's limit table at once (both live in the main thread).
void connectSettingsToLiveList(ApplicationSettingsModel &settings, TranspondersListModel &liveList);

// Reports and application commands flow from the exchange's worker thread to the live list, and limit
// requests back, all as queued calls that copy their arguments.
void connectExchangeAndLiveList(DataExchange &exchange, TranspondersListModel &liveList);
