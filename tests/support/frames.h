#pragma once

#include <QByteArray>
#include <QtGlobal>

// Builders of the retranslator's binary frames, for tests.
namespace TestFrames {

inline void putUInt16(QByteArray &frame, int offset, quint16 value) {
    frame[offset] = char(value & 0xFF);
    frame[offset + 1] = char(value >> 8);
}

inline QByteArray transponderFrame(quint16 id, quint16 rpm, quint16 limit, qint8 rssi, quint8 type = 1) {
    QByteArray frame(23, '\x11');
    frame[0] = char(0xAA);
    frame[1] = char(0x55);
    frame[2] = char(type);
    putUInt16(frame, 3, id);
    putUInt16(frame, 5, rpm);
    putUInt16(frame, 7, limit);
    frame[12] = char(rssi);
    frame[21] = char(0xDE);
    frame[22] = char(0xAD);
    return frame;
}

inline QByteArray statusFrame(quint16 globalLimit, quint8 type = 4) {
    QByteArray frame(20, '\x22');
    frame[0] = char(0xAA);
    frame[1] = char(0x55);
    frame[2] = char(type);
    putUInt16(frame, 10, globalLimit);
    frame[18] = char(0xDE);
    frame[19] = char(0xAD);
    return frame;
}

}  // namespace TestFrames
