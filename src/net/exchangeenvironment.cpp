#include "exchangeenvironment.h"

#include <QDateTime>
#include <QUdpSocket>

#include "protocol.h"

bool isQualifyingInterface(QNetworkInterface::InterfaceType type, QNetworkInterface::InterfaceFlags flags) {
    if (type != QNetworkInterface::Ethernet && type != QNetworkInterface::Wifi)
        return false;
    const QNetworkInterface::InterfaceFlags required =
        QNetworkInterface::CanBroadcast | QNetworkInterface::IsUp | QNetworkInterface::IsRunning;
    return (flags & required) == required && !flags.testFlag(QNetworkInterface::IsLoopBack);
}

bool isQualifyingAddressEntry(const QNetworkAddressEntry &entry) {
    return !entry.broadcast().toString().isEmpty() && !entry.ip().toString().isEmpty();
}

ExchangeEnvironment::~ExchangeEnvironment() = default;

QList<QNetworkAddressEntry> ExchangeEnvironment::qualifyingAddressEntries() const {
    QList<QNetworkAddressEntry> entries;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        if (!isQualifyingInterface(interface.type(), interface.flags()))
            continue;
        const QList<QNetworkAddressEntry> addressEntries = interface.addressEntries();
        for (const QNetworkAddressEntry &entry : addressEntries) {
            if (isQualifyingAddressEntry(entry))
                entries.append(entry);
        }
    }
    return entries;
}

qint64 ExchangeEnvironment::currentMSecsSinceEpoch() const {
    return QDateTime::currentMSecsSinceEpoch();
}

void ExchangeEnvironment::sendDatagram(QUdpSocket &socket, const char *data, qint64 size,
                                       const QHostAddress &destination) {
    socket.writeDatagram(data, size, destination, Protocol::exchangePort);
}
