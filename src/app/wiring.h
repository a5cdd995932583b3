#pragma once

class ApplicationSettingsModel;
class DataExchange;
class EventRecordFeed;
class FlagFollower;
class IncidentRecorder;
class GlobalHotkeys;
class QWindow;
class TimingFeed;
class TranspondersListModel;

// New RPM settings reach the live list's limit table at once (both live in the main thread).
void connectSettingsToLiveList(ApplicationSettingsModel &settings, TranspondersListModel &liveList);

// Reports and application commands flow from the exchange's worker thread to the live list, and limit
// requests back, all as queued calls that copy their arguments.
void connectExchangeAndLiveList(DataExchange &exchange, TranspondersListModel &liveList);

// What the exchange tells the event record (limits asserted again, stretches of merging, the link state) reaches it
// in the main thread, queued in the order it happened.
void connectExchangeToRecord(DataExchange &exchange, EventRecordFeed &feed);

// The timing feed's connection and flags reach the event record, and the retranslator's global limit the flag rule
// (the limit in force until one is chosen).
void connectTimingFeed(TimingFeed &feed, FlagFollower &follower, DataExchange &exchange, EventRecordFeed &recordFeed);

// The incident recorder keeps every report the live list takes, the retranslator's state and every limit chosen; STOP
// for all karts, whoever chose it, marks an incident; the marks and the reports written reach the event record.
void connectIncidentRecorder(IncidentRecorder &recorder, TranspondersListModel &liveList, DataExchange &exchange,
                             EventRecordFeed &recordFeed);

// A limit key chooses its global limit in the live list, which names the key as its source; F8 marks an incident. A
// kart that has not taken its limit asks for the operator's attention while `window` is not the active one (the
// taskbar entry flashes).
void connectRaceControl(GlobalHotkeys &keys, TranspondersListModel &liveList, IncidentRecorder &incidents,
                        QWindow *window);
