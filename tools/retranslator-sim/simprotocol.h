#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The relay's side of the console protocol: the two binary frames it sends and the datagrams it reads.
namespace SimProtocol {

constexpr quint16 exchangePort = 11309;
constexpr int statusFrameSize = 20;
constexpr int transponderFrameSize = 23;

// What one kart's transponder reports.
struct KartReport {
    quint16 transponderId = 0;
    quint16 rpm = 0;
    quint16 limit = 0;  // the RPM limit in force on the kart
    qint8 rssi = 0;     // dBm
};

// The 23-byte frame of type 1 with one kart's report.
QByteArray transponderFrame(const KartReport &report);

// The 20-byte frame of type 4 carrying the relay's global RPM limit.
QByteArray statusFrame(quint16 globalLimit);

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
