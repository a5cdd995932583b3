#include "eventrecordwriter.h"

#include <QDir>

#include "controllogging.h"

namespace {

// Events of one flood-prone kind and source written in one second; the rest are counted.
constexpr int writtenPerSecond = 10;
constexpr int catchUpIntervalMs = 5000;
// While the file refuses writing, a flood of events tries it again at most once a second.
constexpr qint64 retryAtMostEveryMs = 1000;
// A day file that refuses writing for this long is left for the next part of the day.
constexpr qint64 lockedFileGivenUpMs = 30000;

// The byte order mark tells spreadsheet programs that the file is UTF-8 (kart numbers and details may hold
// any text); without it some read it in the system's legacy code page.
const QByteArray byteOrderMark("\xEF\xBB\xBF");
const QByteArray headerLine("time,event,source,kart number,transponder,limit mode,rpm,detail\r\n");

bool isFloodProne(RecordedEventKind kind) {
    return kind == RecordedEventKind::GlobalLimit || kind == RecordedEventKind::GlobalLimitReasserted ||
           kind == RecordedEventKind::KartLimit || kind == RecordedEventKind::Reset;
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
    : QObject(parent), m_folder(folder), m_clock(std::move(clock)), m_catchUpTimer(this) {
    m_catchUpTimer.setSingleShot(true);
    connect(&m_catchUpTimer, &QTimer::timeout, this, &EventRecordWriter::catchUp);
}

EventRecordWriter::~EventRecordWriter() {
    finish();
}

QString EventRecordWriter::fileName(const QDate &day, int part) {
    const QString date = day.toString(QStringLiteral("yyyy-MM-dd"));
    return part == 1 ? QStringLiteral("events-%1.csv").arg(date)
                     : QStringLiteral("events-%1_%2.csv").arg(date).arg(part);
}

void EventRecordWriter::write(const RecordedEvent &event) {
    endSeconds(event.time, false);
    if (withinCap(event))
        queue(event);
    writeWaiting();
    scheduleCatchUp();
}

void EventRecordWriter::catchUp() {
    endSeconds(m_clock(), false);
    writeWaiting();
    scheduleCatchUp();
}

void EventRecordWriter::finish() {
    endSeconds(QDateTime(), true);
    // At exit nothing waits for a locked file to come free.
    m_lastAttempt = QDateTime();
    if (!writeWaiting()) {
        leaveFile(m_waiting.front().time.date());
        m_lastAttempt = QDateTime();
        writeWaiting();
    }
    if (!m_waiting.empty())
        qCWarning(lcRecord).noquote() << "Event record:" << m_waiting.size() << "events could not be written at exit";
    m_waiting.clear();
    m_catchUpTimer.stop();
    m_file.close();
    m_openDay = QDate();
}

bool EventRecordWriter::withinCap(const RecordedEvent &event) {
    if (!isFloodProne(event.kind))
        return true;
    Second &second = m_seconds[{event.kind, event.source}];
    if (!second.start.isValid())
        second.start = event.time;
    if (second.written < writtenPerSecond) {
        ++second.written;
        return true;
    }
    ++second.more;
    second.lastMore = event.time;
    return false;
}

// Ends the seconds that `now` is not within (a clock set back ends them too), each with a line for what it left out.
void EventRecordWriter::endSeconds(const QDateTime &now, bool all) {
    for (auto it = m_seconds.begin(); it != m_seconds.end();) {
        const Second &second = it->second;
        if (!all && second.start <= now && now < second.start.addSecs(1)) {
            ++it;
            continue;
        }
        if (second.more > 0) {
            RecordedEvent more(it->first.first, it->first.second);
            more.detail = QStringLiteral("%1 more within the second").arg(second.more);
            more.time = second.lastMore;
            queue(more);
        }
        it = m_seconds.erase(it);
    }
}

void EventRecordWriter::queue(const RecordedEvent &event) {
    if (int(m_waiting.size()) >= maxWaiting) {
        ++m_notKept;
        return;
    }
    m_waiting.push_back(event);
    if (m_failingSince.isValid())
        ++m_writtenLate;
}

// Writes the waiting events in order; false when the file refused one, which then waits with the rest.
bool EventRecordWriter::writeWaiting() {
    if (m_failingSince.isValid()) {
        const QDateTime now = m_clock();
        if (m_lastAttempt.isValid() && std::abs(m_lastAttempt.msecsTo(now)) < retryAtMostEveryMs)
            return false;
        m_lastAttempt = now;
    }
    while (!m_waiting.empty()) {
        const RecordedEvent &event = m_waiting.front();
        const QDate day = event.time.date();
        if ((day != m_openDay && !openDay(day)) || !append(csvLine(event)))
            return false;
        m_waiting.pop_front();
    }
    if (!m_failingSince.isValid())
        return true;
    if (m_notKept > 0) {
        RecordedEvent gap(RecordedEventKind::NotRecorded, {});
        gap.detail = QStringLiteral("%1 events not kept while the record could not be written").arg(m_notKept);
        gap.time = m_clock();
        if ((gap.time.date() != m_openDay && !openDay(gap.time.date())) || !append(csvLine(gap)))
            return false;
    }
    QString late = QStringLiteral("%1 events written late").arg(m_writtenLate);
    if (m_notKept > 0)
        late += QStringLiteral(", %1 not kept").arg(m_notKept);
    qCWarning(lcRecord).noquote() << "Event record: writing to" << m_file.fileName() << "again;" << late;
    m_failingSince = QDateTime();
    m_writtenLate = 0;
    m_notKept = 0;
    return true;
}

// Opens the day's file for appending. A file a crash left cut in the middle of a line gets the line ended first.
bool EventRecordWriter::openDay(const QDate &day) {
    m_file.close();
    m_openDay = day;
    m_file.setFileName(QDir(m_folder).filePath(fileName(day, day == m_partDay ? m_part : 1)));
    if (!QDir().mkpath(m_folder)) {
        failed(QStringLiteral("cannot create the folder"));
        return false;
    }
    QByteArray lastByte;
    if (m_file.exists()) {
        QFile existing(m_file.fileName());
        if (existing.open(QIODevice::ReadOnly) && existing.size() > 0 && existing.seek(existing.size() - 1))
            lastByte = existing.read(1);
    }
    if (!m_file.open(QIODevice::Append)) {
        failed(m_file.errorString());
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
    failed(m_file.errorString());
    return false;
}

// One warning when writing starts to fail; a day file that has refused for 30 s is given up for the next part.
void EventRecordWriter::failed(const QString &reason) {
    const QDateTime now = m_clock();
    const QDate day = m_openDay;
    m_file.close();
    m_openDay = QDate();
    if (!m_failingSince.isValid()) {
        qCWarning(lcRecord).noquote() << "Event record: cannot write" << m_file.fileName()
                                      << QStringLiteral("(%1);").arg(reason)
                                      << "events wait in memory until it can be written";
        m_failingSince = now;
        m_writtenLate = qint64(m_waiting.size());
    } else if (day.isValid() && m_failingSince.msecsTo(now) >= lockedFileGivenUpMs) {
        leaveFile(day);
        m_failingSince = now;
    }
}

void EventRecordWriter::leaveFile(const QDate &day) {
    const QString left = QDir(m_folder).filePath(fileName(day, day == m_partDay ? m_part : 1));
    m_part = day == m_partDay ? m_part + 1 : 2;
    m_partDay = day;
    qCWarning(lcRecord).noquote() << "Event record:" << left << "stays locked; the day goes on in"
                                  << fileName(day, m_part);
}

void EventRecordWriter::scheduleCatchUp() {
    if ((m_waiting.empty() && m_seconds.empty()) || m_catchUpTimer.isActive())
        return;
    m_catchUpTimer.start(catchUpIntervalMs);
}
