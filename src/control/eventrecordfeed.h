#pragma once

#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>

#include "eventrecord.h"
#include "timing/raceflag.h"

class TranspondersListModel;
class TranspondersModel;

// Turns what the console's objects tell into lines of the event record: the limits chosen and who chose them (a
// click, a key, another console, a timing feed), whether each kart took its limit, the karts coming and going, the
// retranslator's link, the timing feed's connection and flags, and the stretches of merging reports. Lives in the
// main thread.
class EventRecordFeed : public QObject {
    Q_OBJECT

public:
    // Records that the console started; its destructor records that it stopped.
    EventRecordFeed(const EventRecord &record, TranspondersListModel &liveList, const TranspondersModel &registry,
                    QObject *parent = nullptr);
    ~EventRecordFeed() override;

public slots:
    void globalLimitReasserted(int globalLimit, int reportedLimit, const QString &retranslatorAddress);
    void mergingEnded(qint64 durationMs, qint64 reportsReplaced);
    void linkStateChanged(const QJsonObject &state);
    void timingFeedConnected(const QString &address);
    void timingFeedLost(const QString &address, const QString &reason);
    void flagChanged(RaceFlag flag, const QString &runName, const QString &feedAddress);
    void personsLimitStands(RaceFlag flag, const QString &flagMode, const QString &modeInForce,
                            const QString &feedAddress);
    void incidentMarked(const QString &what, const QDateTime &when);
    void incidentReportWritten(const QString &path);

private:
    void record(RecordedEventKind kind, const QString &source, std::optional<int> transponderId = {},
                const QString &limitMode = {}, std::optional<int> rpm = {}, const QString &detail = {});
    const EventRecord &m_record;
    const TranspondersModel &m_registry;
    bool m_linkOnline = false;
    QSet<int> m_karts;  // seen in this session
    QSet<QString> m_feedsConnected;
};
