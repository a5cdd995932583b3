// retranslator-sim: plays the track-side relay for the console, on UDP port 11309.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QLoggingCategory>
#include <cstdio>
#include <memory>

#include "capturereplay.h"
#include "simlogging.h"
#include "simulator.h"

namespace {

const char description[] = R"(Plays the track-side relay (retranslator) of the kart RPM limiter console.

It reports N simulated karts (a 23-byte transponder frame of type 1 per kart, at --rate per
second: transponder id, engine RPM that follows the lap and never exceeds the kart's limit in
force, that limit, RSSI in dBm) and sends a 20-byte status frame of type 4 with its global
limit every --status-interval ms, all to UDP port 11309 of the destinations. It listens on
port 11309 and acts on the consoles' commands:
  GLOBALRPMLIMIT:<rpm>,<n>         sets its global limit and every kart's limit in force
  TRANSPONDERRPMLIMIT:<id>,<rpm>   sets that kart's limit in force
Discovery pings ("RERADOZ"), application commands (JSON objects) and another relay's frames
are ignored (its own broadcasts, which come back to it, are dropped unlogged); anything else
is rejected with a log line, and the relay carries on.

A console holds port 11309 exclusively, so on one host run the simulator in a network
namespace of its own (scripts/demo does that).

With --replay FILE it plays back a capture (pcap or pcapng, e.g. from tcpdump or Wireshark)
instead of simulating karts: the payloads that the relay sent to UDP port 11309, with their
original timing, to the usual destinations. The relay is the sender of the status frames
unless --replay-source names it; what consoles sent is left out. Limit commands are then
logged (result=not-applied) but not applied, since the recorded karts carry their limits.
It exits with 0 after the last datagram (unless --loop), and with 2 when the file is
missing, damaged or cut off, or holds no relay traffic.

Control lines on standard input (one per line; also usable from a pipe or FIFO):
  status on|off                 start or stop status frames (the console goes offline)
  global <rpm>                  change the global limit the status frames report (karts keep theirs)
  delay <ms>                    delay before a limit command comes into force
  kart <id|all> online|offline  start or stop a kart's frames
  kart <id|all> limit <rpm>     put a limit in force on a kart now
  kart <id|all> hold on|off     a held kart ignores limit commands (keeps reporting its limit)
  show                          log the relay's state
  quit                          exit

Log lines (standard error; the part after the time stamp is stable, QT_MESSAGE_PATTERN changes
the prefix):
  start karts=<n> ids=<id,...> rate=<hz>Hz status=<ms>ms global=<rpm> delay=<ms>ms listen=<addr>:<port> to=<dests|auto>
  destinations <addr>:<port>,...                  (when the destination list changes)
  recv kind=<kind> from=<addr>:<port> to=<addr|?> result=<result> text="<datagram>"
      one line per datagram received; kind: ping, app, frames, global, transponder, malformed;
      result: ignored, applied, pending (comes into force after the delay), held,
      unknown-transponder, not-applied (while replaying), or rejected reason="<why>";
      the text escapes " \ and non-printable bytes (\xNN)
  global limit=<rpm> cause=command|control
  limit kart=<id> rpm=<rpm> cause=command|global|control
  control "<line>" -> ok | error: <why> | state global=<rpm> status=on|off delay=<ms>ms karts=<id>:<limit>:online|offline[:hold],...
      (while replaying only show, quit and help work; show says: replay source=<addr> sent=<n> of <n> loop=<n>)
  start replay=<file> source=<addr> datagrams=<n> left-out=<n> duration=<s>s speed=<f> loop=on|off listen=<addr>:<port> to=<dests|auto>
  replay end sent=<n>)";

// Parses "ID" or "ID@SECONDS" items separated by commas into kart ids and the delay before silence.
bool parseOfflineList(const QString &text, QHash<quint16, qint64> *offline) {
    const QStringList items = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &item : items) {
        const QStringList parts = item.split(QLatin1Char('@'));
        bool idOk = false;
        const uint id = parts[0].toUInt(&idOk);
        double seconds = 0;
        bool secondsOk = parts.size() == 1;
        if (parts.size() == 2)
            seconds = parts[1].toDouble(&secondsOk);
        if (!idOk || id > 0xFFFF || !secondsOk || parts.size() > 2 || seconds < 0)
            return false;
        offline->insert(quint16(id), qint64(seconds * 1000));
    }
    return true;
}

int fail(const QString &message) {
    std::fprintf(stderr, "retranslator-sim: %s (see --help)\n", qPrintable(message));
    return 2;
}

}  // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("retranslator-sim"));
    qSetMessagePattern(
        QStringLiteral("%{time hh:mm:ss.zzz} %{if-warning}warning: %{endif}"
                       "%{if-critical}error: %{endif}%{message}"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(description));
    parser.addHelpOption();
    const QCommandLineOption karts(QStringLiteral("karts"), QStringLiteral("Number of karts (default 8)."),
                                   QStringLiteral("n"), QStringLiteral("8"));
    const QCommandLineOption firstId(
        QStringLiteral("first-id"),
        QStringLiteral("Transponder id of the first kart; the others follow (default 1001)."), QStringLiteral("id"),
        QStringLiteral("1001"));
    const QCommandLineOption ids(QStringLiteral("ids"),
                                 QStringLiteral("Comma-separated transponder ids; overrides --karts and --first-id."),
                                 QStringLiteral("list"));
    const QCommandLineOption rate(QStringLiteral("rate"),
                                  QStringLiteral("Transponder frames per kart and second (default 5)."),
                                  QStringLiteral("hz"), QStringLiteral("5"));
    const QCommandLineOption statusInterval(QStringLiteral("status-interval"),
                                            QStringLiteral("Milliseconds between status frames (default 1000)."),
                                            QStringLiteral("ms"), QStringLiteral("1000"));
    const QCommandLineOption global(QStringLiteral("global"),
                                    QStringLiteral("Global limit at start, also every kart's limit (default 10000)."),
                                    QStringLiteral("rpm"), QStringLiteral("10000"));
    const QCommandLineOption to(QStringLiteral("to"),
                                QStringLiteral("Send frames to this address (broadcast, unicast or loopback); "
                                               "repeatable. Default: the broadcast address of every "
                                               "broadcast-capable interface that is up."),
                                QStringLiteral("address"));
    const QCommandLineOption interfaceOption(QStringLiteral("interface"),
                                             QStringLiteral("Send frames to the broadcast addresses of this interface; "
                                                            "repeatable, combines with --to."),
                                             QStringLiteral("name"));
    const QCommandLineOption destPort(QStringLiteral("dest-port"),
                                      QStringLiteral("Destination UDP port (default 11309)."), QStringLiteral("port"),
                                      QStringLiteral("11309"));
    const QCommandLineOption bind(QStringLiteral("bind"),
                                  QStringLiteral("Local address to listen on (default 0.0.0.0)."),
                                  QStringLiteral("address"), QStringLiteral("0.0.0.0"));
    const QCommandLineOption listenPort(QStringLiteral("listen-port"),
                                        QStringLiteral("UDP port to listen on and send from (default 11309; 0 picks "
                                                       "a free one, logged in the start line)."),
                                        QStringLiteral("port"), QStringLiteral("11309"));
    const QCommandLineOption offline(QStringLiteral("offline"),
                                     QStringLiteral("Karts that fall silent: comma-separated ID (silent from the "
                                                    "start) or ID@SECONDS (silent after that many seconds)."),
                                     QStringLiteral("list"));
    const QCommandLineOption noStatus(QStringLiteral("no-status"),
                                      QStringLiteral("Send no status frames (the console shows the relay offline)."));
    const QCommandLineOption statusFor(QStringLiteral("status-for"),
                                       QStringLiteral("Stop status frames after this many seconds."),
                                       QStringLiteral("seconds"));
    const QCommandLineOption applyDelay(QStringLiteral("apply-delay"),
                                        QStringLiteral("Milliseconds before a limit command comes into force, to "
                                                       "show unconfirmed limits (default 0)."),
                                        QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption pack(QStringLiteral("pack"),
                                  QStringLiteral("Send all karts' frames of one tick in one datagram."));
    const QCommandLineOption noControl(QStringLiteral("no-control"),
                                       QStringLiteral("Do not read control lines from standard input."));
    const QCommandLineOption seed(QStringLiteral("seed"), QStringLiteral("Seed of the simulation (default 1)."),
                                  QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption replay(QStringLiteral("replay"),
                                    QStringLiteral("Play back what the relay sent in this capture (pcap or pcapng) "
                                                   "instead of simulating karts."),
                                    QStringLiteral("file"));
    const QCommandLineOption replaySource(
        QStringLiteral("replay-source"),
        QStringLiteral("The relay's address in the capture (default: the sender of the status frames)."),
        QStringLiteral("address"));
    const QCommandLineOption speed(QStringLiteral("speed"),
                                   QStringLiteral("Replay speed: 2 plays twice as fast (default 1)."),
                                   QStringLiteral("factor"), QStringLiteral("1"));
    const QCommandLineOption loop(QStringLiteral("loop"),
                                  QStringLiteral("Replay the capture over and over instead of ending."));
    parser.addOptions({karts,    firstId,         ids,        rate, statusInterval, global,
                       to,       interfaceOption, destPort,   bind, listenPort,     offline,
                       noStatus, statusFor,       applyDelay, pack, noControl,      seed,
                       replay,   replaySource,    speed,      loop});
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().constFirst()));
    // The console's decoder, which finds the relay's status frames in a capture, logs every datagram otherwise.
    QLoggingCategory::setFilterRules(QStringLiteral("zadar.net.debug=false"));

    SimulatorConfig config;
    bool ok = true;
    if (parser.isSet(ids)) {
        const QStringList items = parser.value(ids).split(QLatin1Char(','), Qt::SkipEmptyParts);
        for (const QString &item : items) {
            const uint id = item.toUInt(&ok);
            if (!ok || id > 0xFFFF || config.transponderIds.contains(quint16(id)))
                return fail(QStringLiteral("--ids wants distinct ids 0..65535"));
            config.transponderIds << quint16(id);
        }
    } else {
        const int count = parser.value(karts).toInt(&ok);
        if (!ok || count < 0 || count > 1000)
            return fail(QStringLiteral("--karts wants 0..1000"));
        const uint first = parser.value(firstId).toUInt(&ok);
        if (!ok || first + uint(count) > 0x10000)
            return fail(QStringLiteral("--first-id leaves ids beyond 65535"));
        for (int i = 0; i < count; ++i)
            config.transponderIds << quint16(first + uint(i));
    }
    config.frameRateHz = parser.value(rate).toDouble(&ok);
    if (!ok || config.frameRateHz <= 0 || config.frameRateHz > 1000)
        return fail(QStringLiteral("--rate wants a rate above 0 and up to 1000"));
    config.statusIntervalMs = parser.value(statusInterval).toInt(&ok);
    if (!ok || config.statusIntervalMs < 1)
        return fail(QStringLiteral("--status-interval wants milliseconds >= 1"));
    const uint globalLimit = parser.value(global).toUInt(&ok);
    if (!ok || globalLimit > 0xFFFF)
        return fail(QStringLiteral("--global wants an RPM 0..65535"));
    config.globalLimit = quint16(globalLimit);
    for (const QString &text : parser.values(to)) {
        const QHostAddress address(text);
        if (address.isNull() || address.protocol() != QAbstractSocket::IPv4Protocol)
            return fail(QStringLiteral("--to wants an IPv4 address, not %1").arg(text));
        config.destinations << address;
    }
    config.interfaces = parser.values(interfaceOption);
    const uint port = parser.value(destPort).toUInt(&ok);
    if (!ok || port < 1 || port > 0xFFFF)
        return fail(QStringLiteral("--dest-port wants 1..65535"));
    config.destinationPort = quint16(port);
    config.bindAddress = QHostAddress(parser.value(bind));
    if (config.bindAddress.isNull())
        return fail(QStringLiteral("--bind wants an address"));
    const uint listen = parser.value(listenPort).toUInt(&ok);
    if (!ok || listen > 0xFFFF)
        return fail(QStringLiteral("--listen-port wants 0..65535"));
    config.listenPort = quint16(listen);
    if (parser.isSet(offline) && !parseOfflineList(parser.value(offline), &config.offlineAfterMs))
        return fail(QStringLiteral("--offline wants ID or ID@SECONDS items"));
    config.statusEnabled = !parser.isSet(noStatus);
    if (parser.isSet(statusFor)) {
        const double seconds = parser.value(statusFor).toDouble(&ok);
        if (!ok || seconds < 0)
            return fail(QStringLiteral("--status-for wants seconds >= 0"));
        config.statusForMs = qint64(seconds * 1000);
    }
    config.applyDelayMs = parser.value(applyDelay).toInt(&ok);
    if (!ok || config.applyDelayMs < 0)
        return fail(QStringLiteral("--apply-delay wants milliseconds >= 0"));
    config.packFrames = parser.isSet(pack);
    config.readControl = !parser.isSet(noControl);
    config.seed = parser.value(seed).toUInt(&ok);
    if (!ok)
        return fail(QStringLiteral("--seed wants a number"));

    std::unique_ptr<CaptureReplay> captureReplay;
    if (parser.isSet(replay)) {
        for (const QCommandLineOption *simulated : {&karts, &firstId, &ids, &rate, &statusInterval, &global, &offline,
                                                    &noStatus, &statusFor, &applyDelay, &pack}) {
            if (parser.isSet(*simulated))
                return fail(QStringLiteral("--replay plays what the capture holds; --%1 does not go with it")
                                .arg(simulated->names().constFirst()));
        }
        ReplayConfig replayConfig;
        replayConfig.path = parser.value(replay);
        if (parser.isSet(replaySource)) {
            replayConfig.source = QHostAddress(parser.value(replaySource));
            if (replayConfig.source.protocol() != QAbstractSocket::IPv4Protocol)
                return fail(QStringLiteral("--replay-source wants an IPv4 address"));
        }
        replayConfig.speed = parser.value(speed).toDouble(&ok);
        if (!ok || !(replayConfig.speed > 0) || replayConfig.speed > 1000)
            return fail(QStringLiteral("--speed wants a factor above 0 and up to 1000"));
        replayConfig.loop = parser.isSet(loop);
        captureReplay = std::make_unique<CaptureReplay>(replayConfig);
        if (!captureReplay->prepare()) {
            std::fprintf(stderr, "retranslator-sim: %s\n", qPrintable(captureReplay->errorString()));
            return 2;
        }
    } else if (parser.isSet(replaySource) || parser.isSet(speed) || parser.isSet(loop)) {
        return fail(QStringLiteral("--replay-source, --speed and --loop go with --replay"));
    }

    Simulator simulator(config);
    simulator.setReplay(captureReplay.get());
    if (!simulator.start())
        return 1;
    return app.exec();
}
