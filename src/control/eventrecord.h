#pragma once

#include <QDateTime>
#include <QString>
#include <QThread>
#include <functional>
#include <optional>

// What the event record tells apart. Each kind has one name in the record's "event" column (eventName()).
enum class RecordedEventKind {
    ConsoleStarted,
    ConsoleStopped,
    RetranslatorOnline,
    RetranslatorOffline,
    GlobalLimit,
    GlobalLimitReasserted,
    KartLimit,
    Reset,
    KartOnAir,
    KartSilent,
    KartBack,
    KartRemoved,
    LimitTaken,
    LimitNotTaken,
    LoadShed,
    NotRecorded,
    TimingFeedConnected,
    TimingFeedLost,
    TimingFeedBack,
    Flag,
    PersonsLimitStands,
    IncidentMarked,
    IncidentReport,
};

// The record's name for a kind: short, lower case and kept from version to version, since reviews filter on it
// ("global-limit", "limit-not-taken", ...).
QString eventName(RecordedEventKind kind);

// One line of the record. An empty text or an absent number leaves its column empty.
struct RecordedEvent {
    RecordedEvent() = default;
    RecordedEvent(RecordedEventKind kind, QString source, QString kartNumber = {},
                  std::optional<int> transponderId = {}, QString limitMode = {}, std::optional<int> rpm = {},
                  QString detail = {})
        : kind(kind),
          source(std::move(source)),
          kartNumber(std::move(kartNumber)),
          transponderId(transponderId),
          limitMode(std::move(limitMode)),
          rpm(rpm),
          detail(std::move(detail)) {}

    RecordedEventKind kind = RecordedEventKind::ConsoleStarted;
    QString source;  // who or what caused it: "click", "key F12", another console's or the retranslator's address
    QString kartNumber;
    std::optional<int> transponderId;
    QString limitMode;  // "p0", "p25", "p50", "p100"
    std::optional<int> rpm;
    QString detail;
    QDateTime time;  // when it happened; EventRecord::record() stamps it when left invalid
};

class EventRecordWriter;

// The console's event record: one CSV file per local day, events-YYYY-MM-DD.csv, in a folder of its own.
// record() hands the event to a thread of the record's own and returns, so a slow or full disk never holds up the
// window or the exchange; that thread has each event in the file within a second. Destroying the record writes
// everything recorded before, so create it before anything that records and destroy it after. It never deletes
// a file: the files are the track's evidence.
class EventRecord {
public:
    using Clock = std::function<QDateTime()>;

    explicit EventRecord(const QString &folder, Clock clock = &QDateTime::currentDateTime);
    ~EventRecord();
    EventRecord(const EventRecord &) = delete;
    EventRecord &operator=(const EventRecord &) = delete;

    void record(RecordedEvent event) const;

    // The per-user application data folder: with the organization "deviv" and the application "zadar" set on the
    // application, ~/.local/share/deviv/zadar on Linux and %APPDATA%\deviv\zadar on Windows.
    static QString standardFolder();

private:
    Clock m_clock;
    QThread m_thread;
    EventRecordWriter *m_writer;
};
