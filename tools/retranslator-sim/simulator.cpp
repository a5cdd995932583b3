#include "simulator.h"

#include <QCoreApplication>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QSocketNotifier>
#include <functional>

#include "capturereplay.h"
#include "simlogging.h"

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

Q_LOGGING_CATEGORY(lcSim, "zadar.sim")

namespace {

QString addressList(const QList<QHostAddress> &addresses, quint16 port) {
    QStringList texts;
    for (const QHostAddress &address : addresses)
        texts << QStringLiteral("%1:%2").arg(address.toString()).arg(port);
    return texts.isEmpty() ? QStringLiteral("none") : texts.join(QLatin1Char(','));
}

QString okReply() {
    return QStringLiteral("ok");
}

QString errorReply(const QString &text) {
    return QStringLiteral("error: ") + text;
}

bool isOnOrOff(const QString &word) {
    return word == QLatin1String("on") || word == QLatin1String("off");
}

bool parseRpm(const QString &text, int *rpm) {
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < 0 || value > 0xFFFF)
        return false;
    *rpm = value;
    return true;
}

}  // namespace

Simulator::Simulator(const SimulatorConfig &config, QObject *parent)
    : QObject(parent), m_config(config), m_globalLimit(config.globalLimit) {
    QRandomGenerator layout(config.seed);
    for (int i = 0; i < config.transponderIds.size(); ++i) {
        Kart kart;
        kart.transponderId = config.transponderIds.at(i);
        kart.profile.lapMs = 38000 + layout.bounded(8000);
        // Spread the field around the track so the RPM column shows different phases.
        kart.profile.startPhase = double(i) / config.transponderIds.size() + layout.bounded(0.05);
        kart.profile.idleRpm = 3000 + layout.bounded(500);
        kart.profile.peakRpm = 9400 + layout.bounded(500);
        kart.limit = m_globalLimit;
        kart.noise.seed(config.seed * 7919u + kart.transponderId);
        m_karts.append(kart);
    }

    m_frameTimer.setTimerType(Qt::PreciseTimer);
    m_frameTimer.setInterval(qMax(1, int(1000.0 / config.frameRateHz)));
    connect(&m_frameTimer, &QTimer::timeout, this, &Simulator::sendTransponderFrames);
    m_statusTimer.setInterval(config.statusIntervalMs);
    connect(&m_statusTimer, &QTimer::timeout, this, &Simulator::sendStatusFrame);
    connect(&m_socket, &QUdpSocket::readyRead, this, &Simulator::readDatagrams);
}

Simulator::~Simulator() = default;

void Simulator::setReplay(CaptureReplay *replay) {
    m_replay = replay;
}

bool Simulator::start() {
    if (!m_socket.bind(m_config.bindAddress, m_config.listenPort)) {
        qCCritical(lcSim).noquote() << QStringLiteral("cannot bind %1:%2: %3")
                                           .arg(m_config.bindAddress.toString())
                                           .arg(m_config.listenPort)
                                           .arg(m_socket.errorString());
        return false;
    }
    m_clock.start();
    refreshDestinations();
    const QString target = m_config.destinations.isEmpty() && m_config.interfaces.isEmpty()
                               ? QStringLiteral("auto")
                               : addressList(m_destinations, m_config.destinationPort);
    if (m_replay) {
        startReplay(target);
        return true;
    }

    QStringList ids;
    for (const Kart &kart : qAsConst(m_karts))
        ids << QString::number(kart.transponderId);
    qCInfo(lcSim).noquote() << QStringLiteral(
                                   "start karts=%1 ids=%2 rate=%3Hz status=%4ms global=%5 delay=%6ms "
                                   "listen=%7:%8 to=%9")
                                   .arg(m_karts.size())
                                   .arg(ids.join(QLatin1Char(',')))
                                   .arg(m_config.frameRateHz)
                                   .arg(m_config.statusEnabled ? m_config.statusIntervalMs : 0)
                                   .arg(m_globalLimit)
                                   .arg(m_config.applyDelayMs)
                                   .arg(m_socket.localAddress().toString())
                                   .arg(m_socket.localPort())
                                   .arg(target);

    for (auto it = m_config.offlineAfterMs.cbegin(); it != m_config.offlineAfterMs.cend(); ++it) {
        const quint16 id = it.key();
        if (it.value() <= 0) {
            control(QStringLiteral("kart %1 offline").arg(id));
        } else {
            QTimer::singleShot(it.value(), this, [this, id] { control(QStringLiteral("kart %1 offline").arg(id)); });
        }
    }
    if (m_config.statusForMs >= 0)
        QTimer::singleShot(m_config.statusForMs, this, [this] { control(QStringLiteral("status off")); });

    m_frameTimer.start();
    m_statusTimer.start();
    sendStatusFrame();
    sendTransponderFrames();
    startControlInput();
    return true;
}

void Simulator::startControlInput() {
#ifdef Q_OS_UNIX
    if (m_config.readControl) {
        m_controlNotifier = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
        connect(m_controlNotifier.get(), &QSocketNotifier::activated, this, &Simulator::readControlInput);
    }
#endif
}

void Simulator::startReplay(const QString &target) {
    qCInfo(lcSim).noquote() << QStringLiteral(
                                   "start replay=%1 source=%2 datagrams=%3 left-out=%4 duration=%5s speed=%6 loop=%7 "
                                   "listen=%8:%9 to=%10")
                                   .arg(m_replay->config().path, m_replay->source().toString())
                                   .arg(m_replay->relayDatagrams())
                                   .arg(m_replay->otherDatagrams())
                                   .arg(double(m_replay->durationUs()) / 1e6, 0, 'f', 3)
                                   .arg(m_replay->config().speed)
                                   .arg(m_replay->config().loop ? QStringLiteral("on") : QStringLiteral("off"))
                                   .arg(m_socket.localAddress().toString())
                                   .arg(m_socket.localPort())
                                   .arg(target);
    const QList<QHostAddress> others = m_replay->otherStatusSenders();
    if (!others.isEmpty()) {
        QStringList addresses;
        for (const QHostAddress &address : others)
            addresses << address.toString();
        qCWarning(lcSim).noquote() << QStringLiteral("status frames also came from %1; --replay-source replays another")
                                          .arg(addresses.join(QLatin1Char(',')));
    }
    connect(m_replay, &CaptureReplay::finished, this, [this](bool ok) {
        if (ok) {
            qCInfo(lcSim).noquote() << QStringLiteral("replay end sent=%1").arg(m_replay->sent());
            QCoreApplication::exit(0);
        } else {
            qCCritical(lcSim).noquote() << m_replay->errorString();
            QCoreApplication::exit(2);
        }
    });
    // Interfaces may come and go while the capture plays; the status timer keeps the destinations current.
    disconnect(&m_statusTimer, &QTimer::timeout, this, &Simulator::sendStatusFrame);
    connect(&m_statusTimer, &QTimer::timeout, this, &Simulator::refreshDestinations);
    m_statusTimer.start();
    startControlInput();
    playWhenThereIsADestination();
}

// A capture's first datagrams matter (the first status frame puts the console's link online): while no interface
// is up yet, as in a namespace just made, the replay waits for one rather than sending them nowhere.
void Simulator::playWhenThereIsADestination() {
    if (m_destinations.isEmpty()) {
        QTimer::singleShot(100, this, [this] {
            refreshDestinations();
            playWhenThereIsADestination();
        });
        return;
    }
    m_replay->start([this](const QByteArray &payload) { send(payload); });
}

void Simulator::readDatagrams() {
    while (m_socket.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_socket.receiveDatagram();
        if (!datagram.isValid())
            continue;
        // Broadcasts come back to the socket that sent them: not a command for the relay.
        if (datagram.senderPort() == m_socket.localPort() && m_ownAddresses.contains(datagram.senderAddress()))
            continue;
        handleDatagram(datagram.data(), datagram.senderAddress(), quint16(datagram.senderPort()),
                       datagram.destinationAddress());
    }
}

void Simulator::handleDatagram(const QByteArray &data, const QHostAddress &sender, quint16 senderPort,
                               const QHostAddress &destination) {
    using SimProtocol::DatagramKind;
    const SimProtocol::ReceivedDatagram received = SimProtocol::parseDatagram(data);
    QString result = QStringLiteral("ignored");
    std::function<void()> apply;

    switch (received.kind) {
        case DatagramKind::Ping:
        case DatagramKind::AppCommand:
        case DatagramKind::Frames: break;
        case DatagramKind::Malformed: result = QStringLiteral("rejected reason=\"%1\"").arg(received.reason); break;
        case DatagramKind::GlobalLimit: {
            const int limit = int(received.first);
            apply = [this, limit] { setGlobalLimit(limit, LimitCause::Command); };
            break;
        }
        case DatagramKind::TransponderLimit: {
            const quint16 id = quint16(received.first);
            const int limit = int(received.second);
            Kart *kart = findKart(id);
            if (!kart) {
                result = QStringLiteral("unknown-transponder");
            } else if (kart->hold) {
                result = QStringLiteral("held");
            } else {
                apply = [this, id, limit] {
                    if (Kart *target = findKart(id); target && !target->hold)
                        setKartLimit(*target, limit, LimitCause::Command);
                };
            }
            break;
        }
    }

    // The karts of a capture carry the limits they had; a command cannot change what was recorded.
    if (m_replay && (received.kind == DatagramKind::GlobalLimit || received.kind == DatagramKind::TransponderLimit)) {
        apply = nullptr;
        result = QStringLiteral("not-applied");
    }
    if (apply)
        result = m_config.applyDelayMs > 0 ? QStringLiteral("pending") : QStringLiteral("applied");
    qCInfo(lcSim).noquote() << QStringLiteral("recv kind=%1 from=%2:%3 to=%4 result=%5 text=\"%6\"")
                                   .arg(SimProtocol::kindName(received.kind), sender.toString())
                                   .arg(senderPort)
                                   .arg(destination.isNull() ? QStringLiteral("?") : destination.toString(), result,
                                        SimProtocol::printable(data));
    if (!apply)
        return;
    if (m_config.applyDelayMs > 0)
        QTimer::singleShot(m_config.applyDelayMs, this, apply);
    else
        apply();
}

QString Simulator::causeName(LimitCause cause) {
    static const char *const names[] = {"command", "global", "control"};  // in the order of LimitCause
    return QLatin1String(names[int(cause)]);
}

void Simulator::setKartLimit(Kart &kart, int limit, LimitCause cause) {
    if (kart.limit == limit)
        return;
    kart.limit = limit;
    qCInfo(lcSim).noquote()
        << QStringLiteral("limit kart=%1 rpm=%2 cause=%3").arg(kart.transponderId).arg(limit).arg(causeName(cause));
}

void Simulator::setGlobalLimit(int limit, LimitCause cause) {
    if (m_globalLimit != limit) {
        m_globalLimit = limit;
        qCInfo(lcSim).noquote() << QStringLiteral("global limit=%1 cause=%2").arg(limit).arg(causeName(cause));
    }
    // A console's global command reaches every kart whose limiter takes commands; a control line changes only
    // what the status frames report.
    if (cause != LimitCause::Command)
        return;
    for (Kart &kart : m_karts) {
        if (!kart.hold)
            setKartLimit(kart, limit, LimitCause::Global);
    }
}

void Simulator::sendTransponderFrames() {
    const qint64 now = m_clock.elapsed();
    QByteArray packed;
    for (Kart &kart : m_karts) {
        if (!kart.online)
            continue;
        const KartReading reading =
            readKart(kart.profile, now, kart.limit, kart.noise.bounded(2.0) - 1.0, kart.noise.bounded(2.0) - 1.0);
        const QByteArray frame = Protocol::transponderFrame(kart.transponderId, quint16(reading.rpm),
                                                            quint16(kart.limit), qint8(reading.rssiDbm));
        if (m_config.packFrames)
            packed += frame;
        else
            send(frame);
    }
    if (!packed.isEmpty())
        send(packed);
}

void Simulator::sendStatusFrame() {
    // Interfaces may come and go (or change address) while the relay runs.
    refreshDestinations();
    if (m_config.statusEnabled)
        send(Protocol::statusFrame(quint16(m_globalLimit)));
}

void Simulator::send(const QByteArray &datagram) {
    for (const QHostAddress &destination : qAsConst(m_destinations))
        m_socket.writeDatagram(datagram, destination, m_config.destinationPort);
}

void Simulator::refreshDestinations() {
    QList<QHostAddress> destinations = m_config.destinations;
    const bool automatic = m_config.destinations.isEmpty() && m_config.interfaces.isEmpty();
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &networkInterface : interfaces) {
        const bool named = m_config.interfaces.contains(networkInterface.name());
        if (!named && !automatic)
            continue;
        const auto flags = networkInterface.flags();
        if (automatic && (!(flags & QNetworkInterface::CanBroadcast) || !(flags & QNetworkInterface::IsUp) ||
                          !(flags & QNetworkInterface::IsRunning) || (flags & QNetworkInterface::IsLoopBack)))
            continue;
        const auto entries = networkInterface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol && !entry.broadcast().isNull() &&
                !destinations.contains(entry.broadcast()))
                destinations << entry.broadcast();
        }
    }
    m_ownAddresses.clear();
    const QList<QHostAddress> ownAddresses = QNetworkInterface::allAddresses();
    for (const QHostAddress &address : ownAddresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            m_ownAddresses << address;
    }
    if (destinations != m_destinations) {
        m_destinations = destinations;
        m_warnedNoDestination = false;
        qCInfo(lcSim).noquote()
            << QStringLiteral("destinations %1").arg(addressList(m_destinations, m_config.destinationPort));
    }
    if (m_destinations.isEmpty() && !m_warnedNoDestination) {
        qCWarning(lcSim) << "no destination: no broadcast-capable interface is up";
        m_warnedNoDestination = true;
    }
}

void Simulator::readControlInput() {
#ifdef Q_OS_UNIX
    char buffer[4096];
    const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof(buffer));
    if (count <= 0) {
        // End of input: keep running without control.
        m_controlNotifier->setEnabled(false);
        return;
    }
    m_controlBuffer.append(buffer, int(count));
    int newline;
    while ((newline = m_controlBuffer.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(m_controlBuffer.left(newline)).trimmed();
        m_controlBuffer.remove(0, newline + 1);
        if (!line.isEmpty())
            control(line);
    }
#endif
}

Simulator::Kart *Simulator::findKart(quint16 transponderId) {
    for (Kart &kart : m_karts) {
        if (kart.transponderId == transponderId)
            return &kart;
    }
    return nullptr;
}

QString Simulator::describe() const {
    QStringList karts;
    for (const Kart &kart : m_karts) {
        karts << QStringLiteral("%1:%2:%3%4")
                     .arg(kart.transponderId)
                     .arg(kart.limit)
                     .arg(kart.online ? QStringLiteral("online") : QStringLiteral("offline"),
                          kart.hold ? QStringLiteral(":hold") : QString());
    }
    return QStringLiteral("state global=%1 status=%2 delay=%3ms karts=%4")
        .arg(m_globalLimit)
        .arg(m_config.statusEnabled ? QStringLiteral("on") : QStringLiteral("off"))
        .arg(m_config.applyDelayMs)
        .arg(karts.join(QLatin1Char(',')));
}

QString Simulator::control(const QString &line) {
    const QString reply = controlReply(line.split(QLatin1Char(' '), Qt::SkipEmptyParts));
    qCInfo(lcSim).noquote() << QStringLiteral("control \"%1\" -> %2").arg(line, reply);
    return reply;
}

QString Simulator::controlReply(const QStringList &words) {
    const QString command = words.value(0);
    if (words.size() == 1) {
        if (command == QLatin1String("show"))
            return m_replay ? m_replay->describe() : describe();
        if (command == QLatin1String("quit")) {
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
            return okReply();
        }
        if (command == QLatin1String("help"))
            return QStringLiteral(
                "commands: status on|off; global <rpm>; delay <ms>; kart <id|all> online|offline; "
                "kart <id|all> limit <rpm>; kart <id|all> hold on|off; show; quit");
    }
    const bool replayCommand =
        command == QLatin1String("show") || command == QLatin1String("quit") || command == QLatin1String("help");
    if (m_replay && !replayCommand)
        return errorReply(QStringLiteral("not while replaying a capture (show, quit and help work)"));
    if (!m_replay && words.size() == 2) {
        if (command == QLatin1String("status") && isOnOrOff(words[1]))
            return controlStatus(words[1] == QLatin1String("on"));
        if (command == QLatin1String("global"))
            return controlGlobal(words[1]);
        if (command == QLatin1String("delay"))
            return controlDelay(words[1]);
    }
    if (!m_replay && command == QLatin1String("kart") && words.size() >= 3)
        return controlKarts(words);
    return errorReply(QStringLiteral("unknown command (try help)"));
}

QString Simulator::controlStatus(bool enable) {
    if (enable && !m_config.statusEnabled) {
        m_config.statusEnabled = true;
        sendStatusFrame();
        m_statusTimer.start();  // the next frame a full interval after this one
    }
    m_config.statusEnabled = enable;
    return okReply();
}

QString Simulator::controlGlobal(const QString &rpm) {
    int limit = 0;
    if (!parseRpm(rpm, &limit))
        return errorReply(QStringLiteral("global wants an RPM 0..65535"));
    setGlobalLimit(limit, LimitCause::Control);
    return okReply();
}

QString Simulator::controlDelay(const QString &ms) {
    bool ok = false;
    const int delay = ms.toInt(&ok);
    if (!ok || delay < 0)
        return errorReply(QStringLiteral("delay wants milliseconds >= 0"));
    m_config.applyDelayMs = delay;
    return okReply();
}

// "kart <id|all> online|offline", "kart <id|all> limit <rpm>" and "kart <id|all> hold on|off".
QString Simulator::controlKarts(const QStringList &words) {
    const QList<Kart *> karts = kartsNamed(words[1]);
    if (karts.isEmpty())
        return errorReply(QStringLiteral("no kart %1").arg(words[1]));
    const QString &action = words[2];
    int rpm = 0;
    if ((action == QLatin1String("online") || action == QLatin1String("offline")) && words.size() == 3) {
        for (Kart *kart : karts)
            kart->online = action == QLatin1String("online");
    } else if (action == QLatin1String("limit") && words.size() == 4 && parseRpm(words[3], &rpm)) {
        for (Kart *kart : karts)
            setKartLimit(*kart, rpm, LimitCause::Control);
    } else if (action == QLatin1String("hold") && words.size() == 4 && isOnOrOff(words[3])) {
        for (Kart *kart : karts)
            kart->hold = words[3] == QLatin1String("on");
    } else {
        return errorReply(QStringLiteral("kart <id|all> online|offline|limit <rpm>|hold on|off"));
    }
    return okReply();
}

// Every kart for "all", else the kart with that transponder id; none when there is no such kart.
QList<Simulator::Kart *> Simulator::kartsNamed(const QString &name) {
    QList<Kart *> karts;
    if (name == QLatin1String("all")) {
        for (Kart &kart : m_karts)
            karts << &kart;
        return karts;
    }
    bool ok = false;
    const uint id = name.toUInt(&ok);
    if (Kart *kart = ok && id <= 0xFFFF ? findKart(quint16(id)) : nullptr)
        karts << kart;
    return karts;
}
