#include "datagramdecoder.h"

#include <QJsonDocument>
#include <QString>
#include <cstring>

#include "netlogging.h"
#include "protocol.h"

namespace {

using Protocol::endMarker;
using Protocol::startMarker;

quint16 readUInt16(const uchar *bytes) {
    return quint16(bytes[0] | (bytes[1] << 8));
}

bool isJsonWhiteSpace(uchar byte) {
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}

// A JSON object can only start with "{" after byte order marks and white space. Anything else
// cannot parse as an object, so the (allocating) text conversion and JSON parse are skipped.
bool mayBeJsonObject(const uchar *bytes, qsizetype size) {
    qsizetype i = 0;
    while (i < size) {
        if (isJsonWhiteSpace(bytes[i])) {
            ++i;
        } else if (size - i >= 3 && bytes[i] == 0xEF && bytes[i + 1] == 0xBB && bytes[i + 2] == 0xBF) {
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

// Whether the datagram's text is the discovery word: the word, or the word after one UTF-8 byte order mark (the
// text conversion drops a leading mark), then the end of the datagram or a zero byte.
bool isDiscoveryPingText(const uchar *bytes, qsizetype size) {
    const qsizetype start = size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
    const qsizetype end = start + Protocol::discoveryWordSize;
    return size >= end && std::memcmp(bytes + start, Protocol::discoveryWord, Protocol::discoveryWordSize) == 0 &&
           (size == end || bytes[end] == 0);
}

// Looks for a frame at `pos` and delivers it; returns how far the scan advances.
qsizetype scanAt(const uchar *bytes, qsizetype size, qsizetype pos, DatagramHandler &handler) {
    if (!hasMarkerAt(bytes, size, pos, startMarker))
        return 1;
    qCDebug(lcNet) << Protocol::transponderFrameSize;
    const uchar *frame = bytes + pos;
    if (hasMarkerAt(bytes, size, pos + Protocol::statusFrameSize - 2, endMarker)) {
        if (frame[Protocol::frameTypeOffset] == Protocol::statusFrameType)
            handler.statusFrame(readUInt16(frame + Protocol::globalLimitOffset));
        return Protocol::statusFrameSize;
    }
    if (hasMarkerAt(bytes, size, pos + Protocol::transponderFrameSize - 2, endMarker)) {
        if (frame[Protocol::frameTypeOffset] == Protocol::transponderFrameType) {
            const TransponderState state{readUInt16(frame + Protocol::transponderIdOffset),
                                         readUInt16(frame + Protocol::rpmOffset),
                                         readUInt16(frame + Protocol::limitOffset), qint8(frame[Protocol::rssiOffset])};
            handler.transponderFrame(state);
        }
        return Protocol::transponderFrameSize;
    }
    return 1;
}

// Position of the first start marker (0xAA 0x55) that begins at or after `from`, or `size` if there is none.
qsizetype findStartMarker(const uchar *bytes, qsizetype size, qsizetype from) {
    qsizetype pos = from;
    while (pos + 1 < size) {
        const void *candidate = std::memchr(bytes + pos, startMarker[0], size_t(size - 1 - pos));
        if (!candidate)
            return size;
        pos = static_cast<const uchar *>(candidate) - bytes;
        if (bytes[pos + 1] == startMarker[1])
            return pos;
        ++pos;
    }
    return size;
}

}  // namespace

void decodeDatagram(const char *data, qsizetype size, DatagramHandler &handler) {
    const auto *bytes = reinterpret_cast<const uchar *>(data);

    // White space, byte order marks and "{" contain no zero byte, so the test gives the same answer on the whole
    // datagram as on its text; the text's length is only needed when it is logged or parsed.
    const bool logText = lcNet().isDebugEnabled();
    const bool mayBeJson = mayBeJsonObject(bytes, size);
    if (logText || mayBeJson) {
        const void *firstZero = std::memchr(bytes, 0, size_t(size));
        const qsizetype textSize = firstZero ? static_cast<const uchar *>(firstZero) - bytes : size;
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

    if (isDiscoveryPingText(bytes, size)) {
        // A ping's text skips seven bytes at every step of the scan; this rare path keeps that rule literally.
        for (qsizetype pos = 0; pos < size;) {
            pos += Protocol::discoveryWordSize;
            pos += scanAt(bytes, size, pos, handler);
        }
        return;
    }

    // Stray bytes advance the scan one at a time, so jumping straight to the next start marker gives the same
    // frames. Frames usually follow each other directly; the search only runs when they do not.
    for (qsizetype pos = 0; pos < size;) {
        if (!hasMarkerAt(bytes, size, pos, startMarker)) {
            pos = findStartMarker(bytes, size, pos);
            if (pos >= size)
                return;
        }
        pos += scanAt(bytes, size, pos, handler);
    }
}
