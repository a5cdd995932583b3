#pragma once

#include <QHostAddress>
#include <QString>

// A host of the virtual LAN that the Python harness builds around a test (python3 -m harness.network ... --
// TEST, see tests/harness/network.py). The namespaces are entered from inside the test because a namespace
// belongs to a thread: the exchange's worker thread is started in host A's, a peer socket is made in B's.
struct LanHost {
    QString netns;
    QHostAddress address;

    // Host `name` ("a") from DEVIV_LAN_A_NAMESPACE and DEVIV_LAN_A_ADDRESS; empty when not given.
    static LanHost fromEnvironment(const char *name);
    // Why there is no LAN: the harness's reason, or that the test was not started through it.
    static QString unavailable();
    // The LAN's broadcast address (DEVIV_LAN_BROADCAST).
    static QHostAddress broadcast();

    // Moves the calling thread into the host's namespace; threads it creates afterwards start there too.
    bool enter() const;
    // Moves the calling thread back to the namespace it started in.
    static bool leave();
};
