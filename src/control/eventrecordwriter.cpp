#include "eventrecordwriter.h"

#include <QDir>
#include <QRegularExpression>
#include <algorithm>

#include "controllogging.h"

namespace {

constexpr int keptDays = 90;
constexpr qint64 burstWindowMs = 1000;
// Different events of one flood-prone kind and source written in one burst window; the rest are counted.
constexpr int writtenPerBurst = 10;

// The byte order mark tells spreadsheet programs that the file is UTF-8 (kart numbers and details may hold
// any text); without it some read it in the system's legacy code page.
const QByteArray byteOrderMark("\xEF\xBB\xBF");
const QByteArray headerLine("time,event,source,kart number,transponder,limit mode,rpm,detail\r\n");

bool isFloodProne(RecordedEventKind kind) {
    return kind == RecordedEventKind::GlobalLimit || kind == RecordedEventKind::GlobalLimitReasserted ||
           kind == RecordedEventKind::KartLimit || kind == RecordedEventKind::Reset;
}

bool sameEvent(const RecordedEvent &a, const RecordedEvent &b) {
    return a.kind == b.kind && a.source == b.source && a.kartNumber == b.kartNumber &&
           a.transponderId == b.transponderId && a.limitMode == b.limitMode && a.rpm == b.rpm && a.detail == b.detail;
}

QString numberField(const std::optional<int> &number) {
    return number ? QString::number(*number) : QString();
}

QByteArray csvLine(const RecordedEvent &event) {
    const QStringList fields{
        csvTimeText(event.time),          eventName(event.kind),
        csvTextField(event.source),       csvTextField(event.kartNumber),
        numberField(event.transponderId), csvTextField(event.limitMode),
        numberField(event.rpm),           csvTextField(event.detail),
    };
    return fields.join(QLatin1Char(',')).toUtf8() + "\r\n";
}

QString withDetail(const QString &detail, const QString &more) {
    if (detail.isEmpty())
        return more;
    return detail + QLatin1String("; ") + more;
}

}  // namespace

QString csvTimeText(const QDateTime &time) {
    const int offsetMinutes = time.offsetFromUtc() / 60;
    const int minutes = std::abs(offsetMinutes);
    return time.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")) +
           QString::asprintf("%c%02d:%02d", offsetMinutes < 0 ? '-' : '+', minutes / 60, minutes % 60);
}

QString csvTextField(QString text) {
    if (!text.isEmpty() && QStringLiteral("=+-@\t\r").contains(text.front()))
        text.prepend(QLatin1Char('\''));
    if (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('"')) || text.contains(QLatin1Char('\n')) ||
        text.contains(QLatin1Char('\r')))
        return QLatin1Char('"') + text.replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"');
    return text;
}

EventRecordWriter::EventRecordWriter(const QString &folder, EventRecord::Clock clock, QObject *parent)
    : QObject(parent), m_folder(folder), m_clock(std::move(clock)), m_burstTimer(this) {
    m_burstTimer.setSingleShot(true);
    m_burstTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_burstTimer, &QTimer::timeout, this, qOverload<>(&EventRecordWriter::closeBursts));
}

EventRecordWriter::~EventRecordWriter() {
    finish();
}

QString EventRecordWriter::fileName(const QDate &day) {
    return QStringLiteral("events-%1.csv").arg(day.toString(QStringLiteral("yyyy-MM-dd")));
}

void EventRecordWriter::removeOldFiles() {
    static const QRegularExpression dayFile(QStringLiteral("^events-(\\d{4}-\\d{2}-\\d{2})\\.csv$"));
    const QDate oldestKept = m_clock().date().addDays(-keptDays);
    const QDir folder(m_folder);
    for (const QString &name : folder.entryList(QDir::Files)) {
        const QRegularExpressionMatch match = dayFile.match(name);
        if (!match.hasMatch())
            continue;
        const QDate day = QDate::fromString(match.captured(1), QStringLiteral("yyyy-MM-dd"));
        if (day.isValid() && day < oldestKept && !QFile::remove(folder.filePath(name)))
            qCWarning(lcRecord).noquote() << "Event record: cannot remove the old file" << folder.filePath(name);
    }
}

void EventRecordWriter::write(const RecordedEvent &event) {
    closeBursts(event.time, false);
    if (!isFloodProne(event.kind)) {
        writeLine(event);
        return;
    }
    const BurstKey key{event.kind, event.source};
    const auto found = m_bursts.find(key);
    if (found == m_bursts.end()) {
        writeLine(event);
        Burst burst;
        burst.end = event.time.addMSecs(burstWindowMs);
        burst.lastWritten = event;
        burst.lastSeen = event.time;
        m_bursts.emplace(key, std::move(burst));
        scheduleBurstEnd();
        return;
    }
    Burst &burst = found->second;
    burst.lastSeen = event.time;
    if (sameEvent(event, burst.lastWritten)) {
        ++burst.repeats;
        burst.lastRepeat = event.time;
        return;
    }
    writeRepeats(burst);
    if (burst.written == writtenPerBurst) {
        ++burst.leftOut;
        return;
    }
    writeLine(event);
    burst.lastWritten = event;
    ++burst.written;
}

void EventRecordWriter::closeBursts() {
    closeBursts(m_clock(), false);
    scheduleBurstEnd();
}

void EventRecordWriter::finish() {
    closeBursts(QDateTime(), true);
    m_burstTimer.stop();
    m_file.close();
    m_openDay = QDate();
}

void EventRecordWriter::closeBursts(const QDateTime &now, bool all) {
    for (auto it = m_bursts.begin(); it != m_bursts.end();) {
        Burst &burst = it->second;
        // A window ending more than a window ahead means the clock was set back: it ends now.
        if (!all && burst.end > now && burst.end <= now.addMSecs(burstWindowMs)) {
            ++it;
            continue;
        }
        writeRepeats(burst);
        if (burst.leftOut > 0) {
            RecordedEvent summary;
            summary.kind = it->first.first;
            summary.source = it->first.second;
            summary.detail = QStringLiteral("%1 more not written: a burst").arg(burst.leftOut);
            summary.time = burst.lastSeen;
            writeLine(summary);
        }
        it = m_bursts.erase(it);
    }
}

void EventRecordWriter::writeRepeats(Burst &burst) {
    if (burst.repeats == 0)
        return;
    RecordedEvent repeated = burst.lastWritten;
    repeated.detail = withDetail(repeated.detail, QStringLiteral("repeated %1 more times").arg(burst.repeats));
    repeated.time = burst.lastRepeat;
    writeLine(repeated);
    burst.repeats = 0;
}

void EventRecordWriter::scheduleBurstEnd() {
    if (m_bursts.empty()) {
        m_burstTimer.stop();
        return;
    }
    QDateTime first = m_bursts.begin()->second.end;
    for (const auto &entry : m_bursts)
        first = std::min(first, entry.second.end);
    m_burstTimer.start(int(std::clamp<qint64>(m_clock().msecsTo(first), 0, burstWindowMs)));
}

void EventRecordWriter::writeLine(const RecordedEvent &event) {
    const QDate day = event.time.date();
    if (day == m_failedDay)
        return;
    if (day != m_openDay && !openDay(day))
        return;
    append(csvLine(event));
}

// Opens the day's file for appending. A file a crash left cut in the middle of a line gets the line ended first.
bool EventRecordWriter::openDay(const QDate &day) {
    m_file.close();
    m_openDay = day;
    m_file.setFileName(QDir(m_folder).filePath(fileName(day)));
    if (!QDir().mkpath(m_folder)) {
        fail(QStringLiteral("cannot create the folder"));
        return false;
    }
    QByteArray lastByte;
    if (m_file.exists()) {
        QFile existing(m_file.fileName());
        if (existing.open(QIODevice::ReadOnly) && existing.size() > 0 && existing.seek(existing.size() - 1))
            lastByte = existing.read(1);
    }
    if (!m_file.open(QIODevice::Append)) {
        fail(m_file.errorString());
        return false;
    }
    qCInfo(lcRecord).noquote() << "Event record:" << m_file.fileName();
    if (m_file.size() == 0)
        return append(byteOrderMark + headerLine);
    return lastByte.isEmpty() || lastByte == "\n" || append("\r\n");
}

bool EventRecordWriter::append(const QByteArray &bytes) {
    if (m_file.write(bytes) == bytes.size() && m_file.flush())
        return true;
    fail(m_file.errorString());
    return false;
}

// One warning per day file: the day's events are dropped, and the next day's file is tried afresh.
void EventRecordWriter::fail(const QString &reason) {
    qCWarning(lcRecord).noquote() << "Event record: cannot write" << m_file.fileName()
                                  << QStringLiteral("(%1);").arg(reason)
                                  << "no events are recorded until the next day's file";
    m_file.close();
    m_failedDay = m_openDay;
    m_openDay = QDate();
}
