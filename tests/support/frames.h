#pragma once

#include <QByteArray>

#include "net/protocol.h"

// The relay's frames, also with the frame types that the console skips.
namespace TestFrames {

inline QByteArray transponderFrame(quint16 id, quint16 rpm, quint16 limit, qint8 rssi,
                                   quint8 type = Protocol::transponderFrameType) {
    QByteArray frame = Protocol::transponderFrame(id, rpm, limit, rssi);
    frame[Protocol::frameTypeOffset] = char(type);
    return frame;
}

inline QByteArray statusFrame(quint16 globalLimit, quint8 type = Protocol::statusFrameType) {
    QByteArray frame = Protocol::statusFrame(globalLimit);
    frame[Protocol::frameTypeOffset] = char(type);
    return frame;
}

}  // namespace TestFrames
