#include "eventrecord.h"

#include <QStandardPaths>

#include "eventrecordwriter.h"

QString eventName(RecordedEventKind kind) {
    switch (kind) {
        case RecordedEventKind::ConsoleStarted: return QStringLiteral("console-started");
        case RecordedEventKind::ConsoleStopped: return QStringLiteral("console-stopped");
        case RecordedEventKind::RetranslatorOnline: return QStringLiteral("retranslator-online");
        case RecordedEventKind::RetranslatorOffline: return QStringLiteral("retranslator-offline");
        case RecordedEventKind::GlobalLimit: return QStringLiteral("global-limit");
        case RecordedEventKind::GlobalLimitReasserted: return QStringLiteral("global-limit-reasserted");
        case RecordedEventKind::KartLimit: return QStringLiteral("kart-limit");
        case RecordedEventKind::Reset: return QStringLiteral("reset");
        case RecordedEventKind::KartOnAir: return QStringLiteral("kart-on-air");
        case RecordedEventKind::KartSilent: return QStringLiteral("kart-silent");
        case RecordedEventKind::KartBack: return QStringLiteral("kart-back");
        case RecordedEventKind::KartRemoved: return QStringLiteral("kart-removed");
        case RecordedEventKind::LimitTaken: return QStringLiteral("limit-taken");
        case RecordedEventKind::LimitNotTaken: return QStringLiteral("limit-not-taken");
        case RecordedEventKind::LoadShed: return QStringLiteral("load-shed");
        case RecordedEventKind::NotRecorded: return QStringLiteral("not-recorded");
        case RecordedEventKind::TimingFeedConnected: return QStringLiteral("timing-feed-connected");
        case RecordedEventKind::TimingFeedLost: return QStringLiteral("timing-feed-lost");
        case RecordedEventKind::TimingFeedBack: return QStringLiteral("timing-feed-back");
        case RecordedEventKind::Flag: return QStringLiteral("flag");
        case RecordedEventKind::PersonsLimitStands: return QStringLiteral("persons-limit-stands");
        case RecordedEventKind::IncidentMarked: return QStringLiteral("incident-marked");
        case RecordedEventKind::IncidentReport: return QStringLiteral("incident-report");
    }
    return QString();
}

EventRecord::EventRecord(const QString &folder, Clock clock)
    : m_clock(std::move(clock)), m_writer(new EventRecordWriter(folder, m_clock)) {
    m_thread.setObjectName(QStringLiteral("event record"));
    m_writer->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_writer, &QObject::deleteLater);
    m_thread.start();
}

EventRecord::~EventRecord() {
    // Queued calls run in order, so this one runs after every event recorded before.
    QMetaObject::invokeMethod(
        m_writer, [writer = m_writer] { writer->finish(); }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

void EventRecord::record(RecordedEvent event) const {
    if (!event.time.isValid())
        event.time = m_clock();
    QMetaObject::invokeMethod(
        m_writer, [writer = m_writer, event = std::move(event)] { writer->write(event); }, Qt::QueuedConnection);
}

QString EventRecord::standardFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}
