#include "netns.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>
#include <QFile>

namespace {

int originalNamespace() {
    static const int fd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    return fd;
}

bool enterFd(int fd) {
    return fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
}

}  // namespace

LanHost LanHost::fromEnvironment(const char *name) {
    const QByteArray prefix = "DEVIV_LAN_" + QByteArray(name).toUpper();
    return {qEnvironmentVariable(prefix + "_NAMESPACE"), QHostAddress(qEnvironmentVariable(prefix + "_ADDRESS"))};
}

QString LanHost::unavailable() {
    if (qEnvironmentVariableIsSet("DEVIV_LAN_UNAVAILABLE"))
        return qEnvironmentVariable("DEVIV_LAN_UNAVAILABLE");
    if (!qEnvironmentVariableIsSet("DEVIV_LAN_BROADCAST"))
        return QStringLiteral("no virtual LAN: run the test through python3 -m harness.network (ctest does)");
    return {};
}

QHostAddress LanHost::broadcast() {
    return QHostAddress(qEnvironmentVariable("DEVIV_LAN_BROADCAST"));
}

bool LanHost::enter() const {
    originalNamespace();
    const int fd = open(QFile::encodeName(QStringLiteral("/run/netns/") + netns).constData(), O_RDONLY | O_CLOEXEC);
    const bool entered = enterFd(fd);
    if (fd >= 0)
        close(fd);
    return entered;
}

bool LanHost::leave() {
    return enterFd(originalNamespace());
}
