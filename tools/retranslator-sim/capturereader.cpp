#include "capturereader.h"

#include <pcap/pcap.h>

#include <QFile>

namespace {

constexpr quint16 etherTypeIPv4 = 0x0800;
constexpr quint16 etherTypeVlan = 0x8100;
constexpr quint16 etherTypeQinQ = 0x88A8;
constexpr quint8 ipProtocolUdp = 17;
constexpr int udpHeaderSize = 8;
// Link-layer header types by their pcap numbers; DLT_RAW's number differs between systems, these do not.
constexpr int linkTypeRawIp = 101;
constexpr int linkTypeIPv4 = 228;

quint16 readBigEndian16(const uchar *bytes) {
    return quint16((bytes[0] << 8) | bytes[1]);
}

quint32 readBigEndian32(const uchar *bytes) {
    return (quint32(bytes[0]) << 24) | (quint32(bytes[1]) << 16) | (quint32(bytes[2]) << 8) | bytes[3];
}

// Where the IPv4 packet starts in a link-layer frame, or -1 when the frame carries something else.
int ipv4Offset(int linkType, const uchar *bytes, quint32 size) {
    switch (linkType) {
        case DLT_EN10MB: {
            quint32 offset = 12;
            while (offset + 2 <= size) {
                const quint16 type = readBigEndian16(bytes + offset);
                if (type == etherTypeIPv4)
                    return int(offset + 2);
                if (type != etherTypeVlan && type != etherTypeQinQ)
                    return -1;
                offset += 4;
            }
            return -1;
        }
        case DLT_LINUX_SLL: return size >= 16 && readBigEndian16(bytes + 14) == etherTypeIPv4 ? 16 : -1;
        case DLT_LINUX_SLL2: return size >= 20 && readBigEndian16(bytes) == etherTypeIPv4 ? 20 : -1;
        case DLT_NULL:
        case DLT_LOOP: {
            // The address family, in the byte order of the machine that wrote it (DLT_NULL) or big-endian.
            if (size < 4)
                return -1;
            const quint32 family = readBigEndian32(bytes);
            return family == 2 || family == 0x02000000 ? 4 : -1;
        }
        case DLT_RAW:
        case linkTypeRawIp:
        case linkTypeIPv4: return size >= 1 && (bytes[0] >> 4) == 4 ? 0 : -1;
        default: return -1;
    }
}

}  // namespace

CaptureReader::CaptureReader() = default;

CaptureReader::~CaptureReader() {
    if (m_pcap)
        pcap_close(m_pcap);
}

bool CaptureReader::open(const QString &path) {
    char error[PCAP_ERRBUF_SIZE] = {};
    m_pcap = pcap_open_offline(QFile::encodeName(path).constData(), error);
    if (!m_pcap) {
        m_error = QString::fromLocal8Bit(error);
        // libpcap names the file in front of some messages; the caller names it already.
        if (m_error.startsWith(path + QLatin1String(": ")))
            m_error.remove(0, path.size() + 2);
        if (m_error.contains(QLatin1String("unknown file format")))
            m_error = QStringLiteral("not a pcap or pcapng capture (%1)").arg(m_error);
        return false;
    }
    m_linkType = pcap_datalink(m_pcap);
    return true;
}

CaptureReader::Result CaptureReader::next(CapturedDatagram *datagram) {
    if (!m_pcap) {
        m_error = QStringLiteral("no capture open");
        return Result::Error;
    }
    for (;;) {
        pcap_pkthdr *header = nullptr;
        const uchar *bytes = nullptr;
        const int result = pcap_next_ex(m_pcap, &header, &bytes);
        if (result == PCAP_ERROR_BREAK)
            return Result::End;
        if (result != 1) {
            m_error = QString::fromLocal8Bit(pcap_geterr(m_pcap));
            return Result::Error;
        }
        ++m_packetNumber;
        if (readDatagram(bytes, header->caplen, datagram)) {
            datagram->packetNumber = m_packetNumber;
            datagram->timeUs = qint64(header->ts.tv_sec) * 1000000 + header->ts.tv_usec;
            return Result::Datagram;
        }
    }
}

bool CaptureReader::readDatagram(const uchar *bytes, quint32 size, CapturedDatagram *datagram) {
    const int offset = ipv4Offset(m_linkType, bytes, size);
    if (offset < 0)
        return false;
    const uchar *ip = bytes + offset;
    const quint32 ipSize = size - quint32(offset);
    if (ipSize < 20 || (ip[0] >> 4) != 4 || ip[9] != ipProtocolUdp)
        return false;
    const quint32 headerSize = quint32(ip[0] & 0x0F) * 4;
    const quint16 fragment = readBigEndian16(ip + 6);
    // More fragments follow, or this is not the first: the datagram is not whole in this packet.
    if ((fragment & 0x2000) || (fragment & 0x1FFF))
        return false;
    if (headerSize < 20 || ipSize < headerSize + udpHeaderSize)
        return false;
    const uchar *udp = ip + headerSize;
    const quint16 udpLength = readBigEndian16(udp + 4);
    if (udpLength < udpHeaderSize || ipSize - headerSize < udpLength)
        return false;
    datagram->source = QHostAddress(readBigEndian32(ip + 12));
    datagram->destination = QHostAddress(readBigEndian32(ip + 16));
    datagram->sourcePort = readBigEndian16(udp);
    datagram->destinationPort = readBigEndian16(udp + 2);
    datagram->payload = QByteArray(reinterpret_cast<const char *>(udp + udpHeaderSize), udpLength - udpHeaderSize);
    return true;
}
