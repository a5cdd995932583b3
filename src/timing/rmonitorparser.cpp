#include "rmonitorparser.h"

#include <QTextCodec>
#include <QVarLengthArray>

namespace {

using Fields = QVarLengthArray<QByteArray, 8>;

// The line's fields with their quotes removed; a comma inside quotes belongs to the field.
Fields splitFields(const QByteArray &line) {
    Fields fields;
    QByteArray field;
    bool quoted = false;
    for (const char c : line) {
        if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.append(field);
            field.clear();
        } else {
            field.append(c);
        }
    }
    fields.append(field);
    return fields;
}

QString decodeText(const QByteArray &bytes) {
    static QTextCodec *const windows1252 = QTextCodec::codecForName("Windows-1252");
    return windows1252->toUnicode(bytes);
}

// The flag field is six characters, the flag's name padded with spaces.
RMonitorRecord heartbeat(const Fields &fields) {
    RMonitorRecord record;
    record.kind = RMonitorRecord::Kind::BadFlag;
    record.timeOfDay = fields.size() > 3 ? QString::fromLatin1(fields[3]) : QString();
    if (fields.size() < 6)
        return record;
    const QByteArray &field = fields[5];
    record.text = decodeText(field);
    if (field.size() != 6)
        return record;
    static const struct {
        const char *name;
        RaceFlag flag;
    } names[] = {{"", RaceFlag::None},
                 {"green", RaceFlag::Green},
                 {"yellow", RaceFlag::Yellow},
                 {"red", RaceFlag::Red},
                 {"finish", RaceFlag::Finish}};
    const QByteArray name = field.trimmed().toLower();
    for (const auto &known : names) {
        if (name == known.name) {
            record.kind = RMonitorRecord::Kind::Heartbeat;
            record.flag = known.flag;
            record.text.clear();
        }
    }
    return record;
}

}  // namespace

RMonitorRecord parseRMonitorLine(const QByteArray &line) {
    RMonitorRecord record;
    if (line.size() < 3 || line[0] != '$' || line[2] != ',')
        return record;  // every record the console uses has a one-letter code
    switch (line[1]) {
        case 'F': return heartbeat(splitFields(line));
        case 'I': record.kind = RMonitorRecord::Kind::Init; break;
        case 'B':
            record.kind = RMonitorRecord::Kind::RunName;
            record.text = decodeText(splitFields(line).value(2));
            break;
        default: break;
    }
    return record;
}
