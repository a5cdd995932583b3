#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <optional>

// Everything the console, the relay and the consoles say to each other over UDP, written down once: the port,
// the discovery word, the two binary frames the relay sends and the two text commands it takes.
namespace Protocol {

// Every datagram goes to this port and leaves from it.
constexpr quint16 exchangePort = 11309;

// The discovery ping: these seven ASCII bytes, without a terminating zero.
constexpr char discoveryWord[] = "RERADOZ";
constexpr int discoveryWordSize = sizeof(discoveryWord) - 1;

// Binary frames start with the start marker and end with the end marker; the frame's length is not carried, it
// shows in where the end marker stands. Multi-byte fields are little-endian; bytes not named here are not read.
constexpr uchar startMarker[2] = {0xAA, 0x55};
constexpr uchar endMarker[2] = {0xDE, 0xAD};
constexpr int frameTypeOffset = 2;

constexpr int statusFrameSize = 20;
constexpr quint8 statusFrameType = 4;
constexpr int globalLimitOffset = 10;  // unsigned 16 bits

constexpr int transponderFrameSize = 23;
constexpr quint8 transponderFrameType = 1;
constexpr int transponderIdOffset = 3;  // unsigned 16 bits
constexpr int rpmOffset = 5;            // unsigned 16 bits
constexpr int limitOffset = 7;          // unsigned 16 bits: the limit in force on the transponder
constexpr int rssiOffset = 12;          // signed 8 bits, dBm

// The RPM that limits nothing: the "p100" limit mode, and the global limit under which the relay takes limits
// for single transponders.
constexpr int unlimitedRpm = 10000;

// A status frame reporting the relay's global limit; the bytes that are not read are zero.
QByteArray statusFrame(quint16 globalLimit);

// A transponder frame with one transponder's report; the bytes that are not read are zero.
QByteArray transponderFrame(quint16 transponderId, quint16 rpm, quint16 limit, qint8 rssi);

// The text commands to the relay: "GLOBALRPMLIMIT:%1,%2" (the console's global limit, and -1) and
// "TRANSPONDERRPMLIMIT:%1,%2" (a transponder and the limit wanted on it), in decimal, ASCII, nothing around them.
QByteArray globalLimitCommand(int globalLimit);
QByteArray transponderLimitCommand(int transponderId, int limit);

// A limit command as the relay reads it. A datagram is one when its text (up to the first zero byte) starts
// with a command's name and a colon and holds a comma after that; its two fields are read when both are
// decimal integers as the console writes them (an optional minus sign and at most ten digits).
struct LimitCommand {
    enum class Kind { GlobalLimit, TransponderLimit };
    Kind kind = Kind::GlobalLimit;
    bool hasNumbers = false;
    qint64 first = 0;   // global limit, or transponder id
    qint64 second = 0;  // the global command's second field, or the transponder's limit
};
std::optional<LimitCommand> parseLimitCommand(const QByteArray &datagram);

}  // namespace Protocol
