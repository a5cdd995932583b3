#include "datagramdecoder.h"

#include <QJsonDocument>
#include <QString>
#include <cstring>

#include "netlogging.h"

namespace {

constexpr uchar startMarker[2] = {0xAA, 0x55};
constexpr uchar endMarker[2] = {0xDE, 0xAD};

quint16 readUInt16(const uchar *bytes) {
    return quint16(bytes[0] | (bytes[1] << 8));
}

bool isJsonWhiteSpace(uchar byte) {
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}

// A JSON object can only start with "{" after byte order marks and white space. Anything else
// cannot parse as an object, so the (allocating) text conversion and JSON parse are skipped.
bool mayBeJsonObject(const uchar *bytes, qsizetype textSize) {
    qsizetype i = 0;
    while (i < textSize) {
        if (isJsonWhiteSpace(bytes[i])) {
            ++i;
        } else if (textSize - i >= 3 && bytes[i] == 0xEF && bytes[i + 1] == 0xBB && bytes[i + 2] == 0xBF) {
            i += 3;
        } else {
            return bytes[i] == '{';
        }
    }
    return false;
}

bool hasMarkerAt(const uchar *bytes, qsizetype size, qsizetype pos, const uchar (&marker)[2]) {
    return pos + 1 < size && bytes[pos] == marker[0] && bytes[pos + 1] == marker[1];
}

// Looks for a frame at `pos` and delivers it; returns how far the scan advances.
qsizetype scanAt(const uchar *bytes, qsizetype size, qsizetype pos, DatagramHandler &handler) {
    if (!hasMarkerAt(bytes, size, pos, startMarker))
        return 1;
    qCDebug(lcNet) << Protocol::transponderFrameSize;
    const uchar *frame = bytes + pos;
    if (hasMarkerAt(bytes, size, pos + Protocol::statusFrameSize - 2, endMarker)) {
        if (frame[2] == Protocol::statusFrameType)
            handler.statusFrame(readUInt16(frame + 10));
        return Protocol::statusFrameSize;
    }
    if (hasMarkerAt(bytes, size, pos + Protocol::transponderFrameSize - 2, endMarker)) {
        if (frame[2] == Protocol::transponderFrameType) {
            const TransponderState state{readUInt16(frame + 3), readUInt16(frame + 5), readUInt16(frame + 7),
                                         qint8(frame[12])};
            handler.transponderFrame(state);
        }
        return Protocol::transponderFrameSize;
    }
    return 1;
}

}  // namespace

void decodeDatagram(const char *data, qsizetype size, DatagramHandler &handler) {
    const auto *bytes = reinterpret_cast<const uchar *>(data);
    const void *firstZero = std::memchr(bytes, 0, size_t(size));
    const qsizetype textSize = firstZero ? static_cast<const uchar *>(firstZero) - bytes : size;

    const bool logText = lcNet().isDebugEnabled();
    const bool mayBeJson = mayBeJsonObject(bytes, textSize);
    if (logText || mayBeJson) {
        const QString text = QString::fromUtf8(data, int(textSize));
        if (logText)
            qCDebug(lcNet).noquote() << text;
        if (mayBeJson) {
            const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
            if (document.isObject()) {
                const QJsonObject object = document.object();
                if (object.contains(QLatin1String("appCommand")))
                    handler.applicationCommand(object);
                return;
            }
        }
    }

    const bool isDiscoveryPing = textSize == Protocol::discoveryWordSize &&
                                 std::memcmp(bytes, Protocol::discoveryWord, Protocol::discoveryWordSize) == 0;
    if (isDiscoveryPing) {
        // A ping's text skips seven bytes at every step of the scan; this rare path keeps that rule literally.
        qsizetype pos = 0;
        qsizetype remaining = size;
        while (remaining > 0) {
            pos += Protocol::discoveryWordSize;
            remaining -= Protocol::discoveryWordSize;
            const qsizetype step = scanAt(bytes, size, pos, handler);
            pos += step;
            remaining -= step;
        }
        return;
    }

    // Stray bytes advance the scan one at a time, so jumping straight to the next candidate start byte
    // gives the same frames.
    qsizetype pos = 0;
    while (pos < size) {
        const void *candidate = std::memchr(bytes + pos, startMarker[0], size_t(size - pos));
        if (!candidate)
            return;
        pos = static_cast<const uchar *>(candidate) - bytes;
        pos += scanAt(bytes, size, pos, handler);
    }
}
