#include "netns.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QFile>
#include <QProcess>

namespace {

int originalNamespace() {
    static const int fd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    return fd;
}

bool enterFd(int fd) {
    return fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
}

}  // namespace

VethPair::VethPair() {
    if (geteuid() != 0) {
        m_error = QStringLiteral("needs root to create network namespaces");
        return;
    }
    originalNamespace();
    const QString id = QString::number(QCoreApplication::applicationPid());
    m_nsA = QStringLiteral("dvxa") + id;
    m_nsB = QStringLiteral("dvxb") + id;
    const QString vethA = QStringLiteral("dva") + id;
    const QString vethB = QStringLiteral("dvb") + id;
    if (!run({"netns", "add", m_nsA}) || !run({"netns", "add", m_nsB})) {
        m_error = QStringLiteral("network namespaces are unavailable here");
        return;
    }
    const bool ok = run({"link", "add", vethA, "type", "veth", "peer", "name", vethB}) &&
                    run({"link", "set", vethA, "netns", m_nsA}) && run({"link", "set", vethB, "netns", m_nsB}) &&
                    run({"-n", m_nsA, "addr", "add", "192.168.77.20/24", "brd", "+", "dev", vethA}) &&
                    run({"-n", m_nsB, "addr", "add", "192.168.77.50/24", "brd", "+", "dev", vethB}) &&
                    run({"-n", m_nsA, "link", "set", "lo", "up"}) && run({"-n", m_nsB, "link", "set", "lo", "up"}) &&
                    run({"-n", m_nsA, "link", "set", vethA, "up"}) && run({"-n", m_nsB, "link", "set", vethB, "up"});
    if (!ok)
        m_error = QStringLiteral("cannot build the veth pair between the namespaces");
}

VethPair::~VethPair() {
    if (!m_nsA.isEmpty())
        run({"netns", "del", m_nsA});
    if (!m_nsB.isEmpty())
        run({"netns", "del", m_nsB});
}

bool VethPair::run(const QStringList &arguments) {
    QProcess ip;
    ip.start(QStringLiteral("ip"), arguments);
    return ip.waitForFinished(10000) && ip.exitStatus() == QProcess::NormalExit && ip.exitCode() == 0;
}

bool VethPair::enter(const QString &name) {
    originalNamespace();
    const int fd = open(QFile::encodeName(QStringLiteral("/var/run/netns/") + name).constData(), O_RDONLY | O_CLOEXEC);
    const bool entered = enterFd(fd);
    if (fd >= 0)
        close(fd);
    return entered;
}

bool VethPair::leave() {
    return enterFd(originalNamespace());
}
