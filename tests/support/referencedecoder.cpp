#include "referencedecoder.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include "net/datagramdecoder.h"
#include "net/protocol.h"

void referenceDecode(const QByteArray &datagram, DatagramHandler &handler) {
    using namespace Protocol;
    const int size = datagram.size();
    const QByteArray buffer = datagram + '\0';
    // The text ends at the first zero byte; the UTF-8 conversion replaces ill-formed sequences and drops one
    // leading byte order mark.
    const QString text = QString::fromUtf8(buffer.constData());

    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
    if (document.isObject()) {
        if (document.object().contains(QStringLiteral("appCommand")))
            handler.applicationCommand(document.object());
        return;
    }

    const auto byteAt = [&](int i) { return i < size ? int(uchar(buffer[i])) : -1; };
    const auto markerAt = [&](int i, const uchar(&marker)[2]) {
        return byteAt(i) == marker[0] && byteAt(i + 1) == marker[1];
    };
    const auto uint16At = [&](int i) { return byteAt(i) + 256 * byteAt(i + 1); };
    int pos = 0;
    int remaining = size;
    while (remaining > 0) {
        // Why a ping moves the scan seven bytes at a time: this test looks at the datagram's text, not at the
        // bytes under the scan, and is made again at every step. A datagram whose text is the discovery word
        // (the word alone, after one byte order mark, or followed by a zero byte and anything at all) therefore
        // skips the word's length before every look for a frame, to the end of the datagram.
        if (text == QLatin1String(discoveryWord)) {
            pos += discoveryWordSize;
            remaining -= discoveryWordSize;
        }
        int step = 1;
        if (markerAt(pos, startMarker)) {
            if (markerAt(pos + statusFrameSize - 2, endMarker)) {
                if (byteAt(pos + frameTypeOffset) == statusFrameType)
                    handler.statusFrame(quint16(uint16At(pos + globalLimitOffset)));
                step = statusFrameSize;
            } else if (markerAt(pos + transponderFrameSize - 2, endMarker)) {
                if (byteAt(pos + frameTypeOffset) == transponderFrameType) {
                    const int rssi = byteAt(pos + rssiOffset);
                    const TransponderState state{uint16At(pos + transponderIdOffset), uint16At(pos + rpmOffset),
                                                 uint16At(pos + limitOffset), rssi >= 128 ? rssi - 256 : rssi};
                    handler.transponderFrame(state);
                }
                step = transponderFrameSize;
            }
        }
        pos += step;
        remaining -= step;
    }
}
