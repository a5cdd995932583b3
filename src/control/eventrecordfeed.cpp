#include "eventrecordfeed.h"

#include <QCoreApplication>

#include "models/transponderslistmodel.h"
#include "models/transpondersmodel.h"

EventRecordFeed::EventRecordFeed(const EventRecord &record, TranspondersListModel &liveList,
                                 const TranspondersModel &registry, QObject *parent)
    : QObject(parent), m_record(record), m_registry(registry) {
    using M = TranspondersListModel;
    using Kind = RecordedEventKind;
    // This console's own command come back is not recorded again.
    connect(&liveList, &M::globalLimitApplied, this, [this](const QString &mode, int rpm, const LimitSource &source) {
        if (source.kind != LimitSource::OwnCommand)
            this->record(Kind::GlobalLimit, source.text(), {}, mode, rpm);
    });
    connect(&liveList, &M::transponderLimitApplied, this,
            [this](int id, const QString &mode, int rpm, const LimitSource &source) {
                if (source.kind != LimitSource::OwnCommand)
                    this->record(Kind::KartLimit, source.text(), id, mode, rpm);
            });
    connect(&liveList, &M::limitTaken, this, [this](int id, const QString &mode, int rpm, qint64 afterMs) {
        this->record(Kind::LimitTaken, {}, id, mode, rpm, QStringLiteral("took %1 ms").arg(afterMs));
    });
    connect(&liveList, &M::limitNotTaken, this, [this](int id, const QString &mode, int rpm) {
        this->record(Kind::LimitNotTaken, {}, id, mode, rpm, QStringLiteral("not taken after 3 s"));
    });
    // A kart whose row was removed and made again is back, not on air for the first time.
    connect(&liveList, &M::transponderOnAir, this, [this](int id) {
        const bool first = !m_karts.contains(id);
        m_karts.insert(id);
        this->record(first ? Kind::KartOnAir : Kind::KartBack, {}, id);
    });
    connect(&liveList, &M::transponderSilent, this, [this](int id) { this->record(Kind::KartSilent, {}, id); });
    connect(&liveList, &M::transponderBack, this, [this](int id) { this->record(Kind::KartBack, {}, id); });
    connect(&liveList, &M::transponderRemoved, this, [this](int id) { this->record(Kind::KartRemoved, {}, id); });
    // The list is emptied only by the RESET button.
    connect(&liveList, &M::modelReset, this, [this] { this->record(Kind::Reset, QStringLiteral("click")); });
    this->record(Kind::ConsoleStarted, {}, {}, {}, {},
                 QStringLiteral("version ") + QCoreApplication::applicationVersion());
}

EventRecordFeed::~EventRecordFeed() {
    record(RecordedEventKind::ConsoleStopped, {}, {}, {}, {},
           QStringLiteral("version ") + QCoreApplication::applicationVersion());
}

void EventRecordFeed::globalLimitReasserted(int globalLimit, int reportedLimit, const QString &retranslatorAddress) {
    record(RecordedEventKind::GlobalLimitReasserted, retranslatorAddress, {}, {}, globalLimit,
           QStringLiteral("the retranslator reported %1").arg(reportedLimit));
}

void EventRecordFeed::mergingEnded(qint64 durationMs, qint64 reportsReplaced) {
    record(RecordedEventKind::LoadShed, {}, {}, {}, {},
           QStringLiteral("merged reports for %1 ms: %2 replaced by a newer one of the same kart")
               .arg(durationMs)
               .arg(reportsReplaced));
}

void EventRecordFeed::linkStateChanged(const QJsonObject &state) {
    const bool online = state.value(QStringLiteral("isOnline")).toBool();
    if (online == m_linkOnline)
        return;
    m_linkOnline = online;
    record(online ? RecordedEventKind::RetranslatorOnline : RecordedEventKind::RetranslatorOffline,
           state.value(QStringLiteral("ipAddress")).toString());
}

// A feed connected before, at the same address, is back.
void EventRecordFeed::timingFeedConnected(const QString &address) {
    const bool back = m_feedsConnected.contains(address);
    m_feedsConnected.insert(address);
    record(back ? RecordedEventKind::TimingFeedBack : RecordedEventKind::TimingFeedConnected, address);
}

void EventRecordFeed::timingFeedLost(const QString &address, const QString &reason) {
    record(RecordedEventKind::TimingFeedLost, address, {}, {}, {}, reason);
}

void EventRecordFeed::flagChanged(RaceFlag flag, const QString &runName, const QString &feedAddress) {
    QString detail = flag == RaceFlag::None ? QStringLiteral("no flag") : raceFlagName(flag);
    if (!runName.isEmpty())
        detail += QStringLiteral("; run ") + runName;
    record(RecordedEventKind::Flag, feedAddress, {}, {}, {}, detail);
}

void EventRecordFeed::personsLimitStands(RaceFlag flag, const QString &flagMode, const QString &modeInForce,
                                         const QString &feedAddress) {
    record(RecordedEventKind::PersonsLimitStands, feedAddress, {}, modeInForce, {},
           QStringLiteral("%1 would choose %2; the stricter limit in force stands").arg(raceFlagName(flag), flagMode));
}

void EventRecordFeed::incidentMarked(const QString &what, const QDateTime &when) {
    RecordedEvent event(RecordedEventKind::IncidentMarked, what);
    event.time = when;
    m_record.record(event);
}

void EventRecordFeed::incidentReportWritten(const QString &path) {
    record(RecordedEventKind::IncidentReport, {}, {}, {}, {}, path);
}

void EventRecordFeed::record(RecordedEventKind kind, const QString &source, std::optional<int> transponderId,
                             const QString &limitMode, std::optional<int> rpm, const QString &detail) {
    const QString kartNumber = transponderId ? m_registry.getKartNumByTransponderId(*transponderId) : QString();
    m_record.record({kind, source, kartNumber, transponderId, limitMode, rpm, detail});
}
