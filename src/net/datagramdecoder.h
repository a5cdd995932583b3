#pragma once

#include <QJsonObject>
#include <QtGlobal>
#include <utility>
#include <vector>

#include "transponderstate.h"

// Receives what decodeDatagram() finds, in the order it stands in the datagram.
class DatagramHandler {
public:
    virtual void applicationCommand(const QJsonObject &command) = 0;
    virtual void statusFrame(quint16 globalRpmLimit) = 0;
    virtual void transponderFrame(const TransponderState &state) = 0;

protected:
    ~DatagramHandler() = default;
};

// Decodes one received datagram of `size` bytes (size >= 1). A datagram whose text (up to the first
// zero byte) is a JSON object is an application command when it has the key "appCommand" and is
// dropped otherwise; any other datagram is scanned for binary frames. Never reads data[size] or beyond,
// and allocates nothing unless the datagram may be JSON or debug logging is on.
void decodeDatagram(const char *data, qsizetype size, DatagramHandler &handler);

// The same decoding in parts, so that a datagram of thousands of frames need not be handed on at once. A part
// starts at `from` (0 for the first, else where the previous part ended), ends once it has delivered `maxFrames`
// frames and returns where the next part starts, or `size` when the datagram is done. The parts of a datagram
// deliver what one call delivers, in the same order.
qsizetype decodeDatagramPart(const char *data, qsizetype size, qsizetype from, int maxFrames, DatagramHandler &handler);

// The search for the next frame start marker that decodeDatagram() runs over stray bytes: the position of the
// first 0xAA 0x55 pair that begins at or after `from`, or `size` when there is none. There is a portable variant
// and vector variants for processors that have the instructions; the decoder uses the fastest one available.
using StartMarkerSearch = qsizetype (*)(const uchar *bytes, qsizetype size, qsizetype from);
// Every variant this processor can run, by name, the portable one first (for tests that compare them).
std::vector<std::pair<const char *, StartMarkerSearch>> availableStartMarkerSearches();
