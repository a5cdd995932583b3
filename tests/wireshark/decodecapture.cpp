// Prints what the console's decoder finds in every UDP datagram to or from port 11309 of a capture file, one
// line per thing found, in the order found:
//   <packet> status <global limit>
//   <packet> transponder <id> <rpm> <limit> <rssi>
//   <packet> app <appCommand> <value> <transponderId>
// <packet> is the packet's number in the file, as Wireshark counts. Of an application command, a text that is
// a plain word is printed as it is, any other text as "~", and a missing or non-text value as "-"; the
// transponder id only when it is a whole 32-bit number. The last line, on standard error, counts the datagrams.

#include <QCoreApplication>
#include <QJsonObject>
#include <QJsonValue>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <cmath>
#include <cstdio>

#include "capturereader.h"
#include "net/datagramdecoder.h"
#include "net/protocol.h"

namespace {

QByteArray plainText(const QJsonValue &value) {
    static const QRegularExpression plain(QStringLiteral("\\A[A-Za-z0-9_.:+-]+\\z"));
    if (!value.isString() || value.toString().isEmpty())
        return "-";
    return plain.match(value.toString()).hasMatch() ? value.toString().toUtf8() : QByteArray("~");
}

QByteArray wholeNumber(const QJsonValue &value) {
    const double number = value.toDouble(std::nan(""));
    if (!value.isDouble() || number != std::floor(number) || number < -2147483648.0 || number > 2147483647.0)
        return "-";
    return QByteArray::number(qint64(number));
}

class Printer final : public DatagramHandler {
public:
    explicit Printer(qint64 packet) : m_packet(packet) {}
    void applicationCommand(const QJsonObject &command) override {
        std::printf("%lld app %s %s %s\n", m_packet, plainText(command.value(QLatin1String("appCommand"))).constData(),
                    plainText(command.value(QLatin1String("value"))).constData(),
                    wholeNumber(command.value(QLatin1String("transponderId"))).constData());
    }
    void statusFrame(quint16 globalRpmLimit) override { std::printf("%lld status %u\n", m_packet, globalRpmLimit); }
    void transponderFrame(const TransponderState &state) override {
        std::printf("%lld transponder %d %d %d %d\n", m_packet, state.transponderId, state.rpmValue, state.limitValue,
                    state.rssiValue);
    }

private:
    qint64 m_packet;
};

}  // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: decode_capture CAPTURE\n");
        return 2;
    }
    QLoggingCategory::setFilterRules(QStringLiteral("zadar.net.debug=false"));
    CaptureReader reader;
    if (!reader.open(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "decode_capture: %s\n", qPrintable(reader.errorString()));
        return 2;
    }
    qint64 decoded = 0;
    CapturedDatagram datagram;
    CaptureReader::Result result;
    while ((result = reader.next(&datagram)) == CaptureReader::Result::Datagram) {
        if (datagram.payload.isEmpty() ||
            (datagram.sourcePort != Protocol::exchangePort && datagram.destinationPort != Protocol::exchangePort))
            continue;
        Printer printer(datagram.packetNumber);
        decodeDatagram(datagram.payload.constData(), datagram.payload.size(), printer);
        ++decoded;
    }
    if (result == CaptureReader::Result::Error) {
        std::fprintf(stderr, "decode_capture: %s\n", qPrintable(reader.errorString()));
        return 2;
    }
    std::fprintf(stderr, "datagrams %lld\n", decoded);
    return 0;
}
