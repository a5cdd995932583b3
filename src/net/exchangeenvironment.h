#pragma once

#include <QList>
#include <QNetworkAddressEntry>
#include <QNetworkInterface>

class QHostAddress;
class QUdpSocket;

// An interface the exchange talks through: Ethernet or Wi-Fi, up, running, able to broadcast, not loopback.
bool isQualifyingInterface(QNetworkInterface::InterfaceType type, QNetworkInterface::InterfaceFlags flags);

// An address entry with both an address and a broadcast address (in effect, IPv4).
bool isQualifyingAddressEntry(const QNetworkAddressEntry &entry);

// The host facilities the exchange relies on: the local networks, the wall clock and the socket's send.
// The program uses this class as it is; tests derive from it to script the networks, the time and to
// capture what is sent. Called only in the exchange's worker thread.
class ExchangeEnvironment {
public:
    virtual ~ExchangeEnvironment();

    // The qualifying address entries of the qualifying interfaces, enumerated afresh, in platform order.
    virtual QList<QNetworkAddressEntry> qualifyingAddressEntries() const;

    virtual qint64 currentMSecsSinceEpoch() const;

    // Sends one datagram to port 11309 of `destination`; the result is not checked.
    virtual void sendDatagram(QUdpSocket &socket, const char *data, qint64 size, const QHostAddress &destination);
};
