#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// How the relay takes the datagrams it receives: what kind each is, and why one is refused.
namespace SimProtocol {

enum class DatagramKind {
    Ping,              // a console's discovery word
    GlobalLimit,       // GLOBALRPMLIMIT:<limit>,<second>
    TransponderLimit,  // TRANSPONDERRPMLIMIT:<transponder id>,<limit>
    AppCommand,        // a JSON object: what consoles tell each other, none of the relay's business
    Frames,            // starts with a frame's start marker: another relay's report
    Malformed,
};

struct ReceivedDatagram {
    DatagramKind kind = DatagramKind::Malformed;
    qint64 first = 0;   // global limit, or transponder id
    qint64 second = 0;  // the global command's second field, or the transponder's limit
    QString reason;     // why a malformed datagram was refused
};

// Classifies one received datagram. Limits and transponder ids must fit the 16-bit frame fields; the
// global command's second field is any 32-bit integer (consoles always send -1).
ReceivedDatagram parseDatagram(const QByteArray &datagram);

// Stable text names of the kinds, used in the log lines that tests read.
QString kindName(DatagramKind kind);

// The datagram as printable ASCII for a log line: quotes, backslashes and other bytes escaped.
QString printable(const QByteArray &datagram, int maxBytes = 120);

}  // namespace SimProtocol
