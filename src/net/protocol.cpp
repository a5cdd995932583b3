#include "protocol.h"

#include <QRegularExpression>
#include <QString>

namespace Protocol {

namespace {

constexpr char globalLimitName[] = "GLOBALRPMLIMIT";
constexpr char transponderLimitName[] = "TRANSPONDERRPMLIMIT";
// The second field of every global limit command the console sends.
constexpr int globalLimitSecondField = -1;

void putUInt16(QByteArray &frame, int offset, quint16 value) {
    frame[offset] = char(value & 0xFF);
    frame[offset + 1] = char(value >> 8);
}

QByteArray emptyFrame(int size, quint8 type) {
    QByteArray frame(size, '\0');
    frame[0] = char(startMarker[0]);
    frame[1] = char(startMarker[1]);
    frame[frameTypeOffset] = char(type);
    frame[size - 2] = char(endMarker[0]);
    frame[size - 1] = char(endMarker[1]);
    return frame;
}

QByteArray command(const char *name, int first, int second) {
    return QByteArray(name) + ':' + QByteArray::number(first) + ',' + QByteArray::number(second);
}

bool parseDecimal(const QString &text, qint64 *value) {
    static const QRegularExpression decimal(QStringLiteral("^-?[0-9]{1,10}\\z"));
    if (!decimal.match(text).hasMatch())
        return false;
    bool ok = false;
    *value = text.toLongLong(&ok);
    return ok;
}

}  // namespace

QByteArray statusFrame(quint16 globalLimit) {
    QByteArray frame = emptyFrame(statusFrameSize, statusFrameType);
    putUInt16(frame, globalLimitOffset, globalLimit);
    return frame;
}

QByteArray transponderFrame(quint16 transponderId, quint16 rpm, quint16 limit, qint8 rssi) {
    QByteArray frame = emptyFrame(transponderFrameSize, transponderFrameType);
    putUInt16(frame, transponderIdOffset, transponderId);
    putUInt16(frame, rpmOffset, rpm);
    putUInt16(frame, limitOffset, limit);
    frame[rssiOffset] = char(rssi);
    return frame;
}

QByteArray globalLimitCommand(int globalLimit) {
    return command(globalLimitName, globalLimit, globalLimitSecondField);
}

QByteArray transponderLimitCommand(int transponderId, int limit) {
    return command(transponderLimitName, transponderId, limit);
}

std::optional<LimitCommand> parseLimitCommand(const QByteArray &datagram) {
    static const QRegularExpression pattern(
        QStringLiteral("^(%1|%2):([^,]*),(.*)\\z")
            .arg(QLatin1String(globalLimitName), QLatin1String(transponderLimitName)));
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(datagram));
    if (!match.hasMatch())
        return std::nullopt;
    LimitCommand result;
    result.kind = match.captured(1) == QLatin1String(globalLimitName) ? LimitCommand::Kind::GlobalLimit
                                                                      : LimitCommand::Kind::TransponderLimit;
    result.hasNumbers =
        parseDecimal(match.captured(2), &result.first) && parseDecimal(match.captured(3), &result.second);
    return result;
}

}  // namespace Protocol
