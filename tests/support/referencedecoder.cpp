#include "referencedecoder.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include "net/datagramdecoder.h"

void referenceDecode(const QByteArray &datagram, DatagramHandler &handler) {
    const int size = datagram.size();
    const QByteArray buffer = datagram + '\0';
    const QString text = QString::fromUtf8(buffer.constData());

    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
    if (document.isObject()) {
        if (document.object().contains(QStringLiteral("appCommand")))
            handler.applicationCommand(document.object());
        return;
    }

    const auto byteAt = [&](int i) { return i < size ? int(uchar(buffer[i])) : -1; };
    int pos = 0;
    int remaining = size;
    while (remaining > 0) {
        if (text == QLatin1String("RERADOZ")) {
            pos += 7;
            remaining -= 7;
        }
        int step = 1;
        if (byteAt(pos) == 0xAA && byteAt(pos + 1) == 0x55) {
            if (byteAt(pos + 18) == 0xDE && byteAt(pos + 19) == 0xAD) {
                if (byteAt(pos + 2) == 4)
                    handler.statusFrame(quint16(byteAt(pos + 10) + 256 * byteAt(pos + 11)));
                step = 20;
            } else if (byteAt(pos + 21) == 0xDE && byteAt(pos + 22) == 0xAD) {
                if (byteAt(pos + 2) == 1) {
                    const TransponderState state{byteAt(pos + 3) + 256 * byteAt(pos + 4),
                                                 byteAt(pos + 5) + 256 * byteAt(pos + 6),
                                                 byteAt(pos + 7) + 256 * byteAt(pos + 8),
                                                 byteAt(pos + 12) >= 128 ? byteAt(pos + 12) - 256 : byteAt(pos + 12)};
                    handler.transponderFrame(state);
                }
                step = 23;
            }
        }
        pos += step;
        remaining -= step;
    }
}
