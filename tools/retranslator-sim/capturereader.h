#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QtGlobal>

struct pcap;

// One IPv4 UDP datagram of a capture file.
struct CapturedDatagram {
    qint64 packetNumber = 0;  // 1-based position in the file, counting every packet, as Wireshark numbers them
    qint64 timeUs = 0;        // capture time, microseconds since the epoch
    QHostAddress source;
    quint16 sourcePort = 0;
    QHostAddress destination;
    quint16 destinationPort = 0;
    QByteArray payload;
};

// Reads the IPv4 UDP datagrams of a pcap or pcapng file (through libpcap), in file order. Understands the
// link layers that captures of a track network have: Ethernet (with VLAN tags), Linux cooked (tcpdump -i any),
// raw IP and BSD/Npcap loopback. Other packets are passed over; so are IP fragments and datagrams that the
// capture holds only part of, since their payload is not all there.
class CaptureReader {
public:
    CaptureReader();
    ~CaptureReader();
    Q_DISABLE_COPY(CaptureReader)

    // Opens the file; false (with errorString()) when it is missing, not a capture or cut off in its header.
    bool open(const QString &path);

    enum class Result { Datagram, End, Error };
    // The next UDP datagram; Error (with errorString()) when the file is cut off or damaged.
    Result next(CapturedDatagram *datagram);

    QString errorString() const { return m_error; }

private:
    bool readDatagram(const uchar *bytes, quint32 size, CapturedDatagram *datagram);

    pcap *m_pcap = nullptr;
    int m_linkType = 0;
    qint64 m_packetNumber = 0;
    QString m_error;
};
