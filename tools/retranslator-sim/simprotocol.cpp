#include "simprotocol.h"

#include <QJsonDocument>
#include <limits>

#include "net/protocol.h"

namespace SimProtocol {

namespace {

ReceivedDatagram ofKind(DatagramKind kind) {
    ReceivedDatagram result;
    result.kind = kind;
    return result;
}

ReceivedDatagram malformed(const QString &reason) {
    ReceivedDatagram result = ofKind(DatagramKind::Malformed);
    result.reason = reason;
    return result;
}

bool fitsUInt16(qint64 value) {
    return value >= 0 && value <= 0xFFFF;
}

// A limit command whose fields are two decimal integers: limits and transponder ids must fit the 16-bit frame
// fields, the global command's second field any 32-bit integer.
ReceivedDatagram limitCommand(const Protocol::LimitCommand &command) {
    const bool isGlobal = command.kind == Protocol::LimitCommand::Kind::GlobalLimit;
    if (!fitsUInt16(command.first))
        return malformed(isGlobal ? QStringLiteral("global limit out of range 0..65535")
                                  : QStringLiteral("transponder id out of range 0..65535"));
    if (isGlobal &&
        (command.second < std::numeric_limits<qint32>::min() || command.second > std::numeric_limits<qint32>::max()))
        return malformed(QStringLiteral("second field out of 32-bit range"));
    if (!isGlobal && !fitsUInt16(command.second))
        return malformed(QStringLiteral("transponder limit out of range 0..65535"));
    ReceivedDatagram result = ofKind(isGlobal ? DatagramKind::GlobalLimit : DatagramKind::TransponderLimit);
    result.first = command.first;
    result.second = command.second;
    return result;
}

}  // namespace

ReceivedDatagram parseDatagram(const QByteArray &datagram) {
    if (datagram == Protocol::discoveryWord)
        return ofKind(DatagramKind::Ping);
    if (datagram.size() >= 2 && uchar(datagram[0]) == Protocol::startMarker[0] &&
        uchar(datagram[1]) == Protocol::startMarker[1])
        return ofKind(DatagramKind::Frames);
    if (datagram.startsWith('{')) {
        if (QJsonDocument::fromJson(datagram).isObject())
            return ofKind(DatagramKind::AppCommand);
        return malformed(QStringLiteral("not a JSON object"));
    }
    const std::optional<Protocol::LimitCommand> command = Protocol::parseLimitCommand(datagram);
    if (!command)
        return malformed(QStringLiteral("unknown command"));
    if (!command->hasNumbers)
        return malformed(QStringLiteral("arguments are not two decimal integers"));
    return limitCommand(*command);
}

QString kindName(DatagramKind kind) {
    switch (kind) {
        case DatagramKind::Ping: return QStringLiteral("ping");
        case DatagramKind::GlobalLimit: return QStringLiteral("global");
        case DatagramKind::TransponderLimit: return QStringLiteral("transponder");
        case DatagramKind::AppCommand: return QStringLiteral("app");
        case DatagramKind::Frames: return QStringLiteral("frames");
        case DatagramKind::Malformed: break;
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
