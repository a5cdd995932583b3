#include "simprotocol.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <limits>

namespace SimProtocol {

namespace {

void putUInt16(QByteArray &frame, int offset, quint16 value) {
    frame[offset] = char(value & 0xFF);
    frame[offset + 1] = char(value >> 8);
}

// A frame of `size` zero bytes with the start marker, the type and the end marker in place. The bytes
// the console does not read stay zero, which keeps a 23-byte frame from showing an end marker at 18.
QByteArray emptyFrame(int size, quint8 type) {
    QByteArray frame(size, '\0');
    frame[0] = char(0xAA);
    frame[1] = char(0x55);
    frame[2] = char(type);
    frame[size - 2] = char(0xDE);
    frame[size - 1] = char(0xAD);
    return frame;
}

// Parses a decimal integer as consoles write it: optional minus sign, digits, nothing else.
bool parseDecimal(const QString &text, qint64 *value) {
    static const QRegularExpression decimal(QStringLiteral("^-?[0-9]{1,10}\\z"));
    if (!decimal.match(text).hasMatch())
        return false;
    bool ok = false;
    *value = text.toLongLong(&ok);
    return ok;
}

ReceivedDatagram malformed(const QString &reason) {
    ReceivedDatagram result;
    result.kind = DatagramKind::Malformed;
    result.reason = reason;
    return result;
}

}  // namespace

QByteArray transponderFrame(const KartReport &report) {
    QByteArray frame = emptyFrame(transponderFrameSize, 1);
    putUInt16(frame, 3, report.transponderId);
    putUInt16(frame, 5, report.rpm);
    putUInt16(frame, 7, report.limit);
    frame[12] = char(report.rssi);
    return frame;
}

QByteArray statusFrame(quint16 globalLimit) {
    QByteArray frame = emptyFrame(statusFrameSize, 4);
    putUInt16(frame, 10, globalLimit);
    return frame;
}

ReceivedDatagram parseDatagram(const QByteArray &datagram) {
    if (datagram == "RERADOZ") {
        ReceivedDatagram result;
        result.kind = DatagramKind::Ping;
        return result;
    }
    if (datagram.startsWith("\xAA\x55")) {
        ReceivedDatagram result;
        result.kind = DatagramKind::Frames;
        return result;
    }
    if (datagram.startsWith('{')) {
        if (QJsonDocument::fromJson(datagram).isObject()) {
            ReceivedDatagram result;
            result.kind = DatagramKind::AppCommand;
            return result;
        }
        return malformed(QStringLiteral("not a JSON object"));
    }

    static const QRegularExpression command(QStringLiteral("^(GLOBALRPMLIMIT|TRANSPONDERRPMLIMIT):([^,]*),(.*)\\z"));
    const QString text = QString::fromLatin1(datagram);
    const QRegularExpressionMatch match = command.match(text);
    if (!match.hasMatch())
        return malformed(QStringLiteral("unknown command"));
    const bool isGlobal = match.captured(1) == QLatin1String("GLOBALRPMLIMIT");
    ReceivedDatagram result;
    result.kind = isGlobal ? DatagramKind::GlobalLimit : DatagramKind::TransponderLimit;
    if (!parseDecimal(match.captured(2), &result.first) || !parseDecimal(match.captured(3), &result.second))
        return malformed(QStringLiteral("arguments are not two decimal integers"));
    if (result.first < 0 || result.first > 0xFFFF)
        return malformed(isGlobal ? QStringLiteral("global limit out of range 0..65535")
                                  : QStringLiteral("transponder id out of range 0..65535"));
    if (isGlobal) {
        if (result.second < std::numeric_limits<qint32>::min() || result.second > std::numeric_limits<qint32>::max())
            return malformed(QStringLiteral("second field out of 32-bit range"));
    } else if (result.second < 0 || result.second > 0xFFFF) {
        return malformed(QStringLiteral("transponder limit out of range 0..65535"));
    }
    return result;
}

QString kindName(DatagramKind kind) {
    switch (kind) {
        case DatagramKind::Ping:
            return QStringLiteral("ping");
        case DatagramKind::GlobalLimit:
            return QStringLiteral("global");
        case DatagramKind::TransponderLimit:
            return QStringLiteral("transponder");
        case DatagramKind::AppCommand:
            return QStringLiteral("app");
        case DatagramKind::Frames:
            return QStringLiteral("frames");
        case DatagramKind::Malformed:
            break;
    }
    return QStringLiteral("malformed");
}

QString printable(const QByteArray &datagram, int maxBytes) {
    QString text;
    const int shown = qMin(datagram.size(), maxBytes);
    for (int i = 0; i < shown; ++i) {
        const uchar byte = uchar(datagram[i]);
        if (byte == '"' || byte == '\\')
            text += QLatin1String("\\") + QLatin1Char(char(byte));
        else if (byte >= 0x20 && byte < 0x7F)
            text += QLatin1Char(char(byte));
        else
            text += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
    if (shown < datagram.size())
        text += QStringLiteral("...");
    return text;
}

}  // namespace SimProtocol
