#pragma once

#include <QJsonObject>
#include <QtGlobal>

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
