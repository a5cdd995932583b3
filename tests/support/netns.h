#pragma once

#include <QString>
#include <QStringList>

// Two network namespaces joined by a veth pair: host A 192.168.77.20/24 and host B 192.168.77.50/24, both
// with a broadcast address. Needs root; removed again on destruction.
class VethPair {
public:
    VethPair();
    ~VethPair();
    VethPair(const VethPair &) = delete;
    VethPair &operator=(const VethPair &) = delete;

    bool isUp() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    QString namespaceA() const { return m_nsA; }
    QString namespaceB() const { return m_nsB; }

    // Moves the calling thread into the namespace; threads it creates afterwards start there too.
    static bool enter(const QString &name);
    // Moves the calling thread back to the namespace it started in.
    static bool leave();

private:
    bool run(const QStringList &arguments);

    QString m_nsA;
    QString m_nsB;
    QString m_error;
};
