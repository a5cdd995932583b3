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

QCommandLineOption option(const char *name, const char *description, const char *valueName = nullptr,
                          const char *defaultValue = nullptr) {
    return QCommandLineOption(QString::fromLatin1(name), QString::fromUtf8(description), QString::fromLatin1(valueName),
                              QString::fromLatin1(defaultValue));
}

// The command line's options.
struct Options {
    const QCommandLineOption karts = option("karts", "Number of karts (default 8).", "n", "8");
    const QCommandLineOption firstId =
        option("first-id", "Transponder id of the first kart; the others follow (default 1001).", "id", "1001");
    const QCommandLineOption ids =
        option("ids", "Comma-separated transponder ids; overrides --karts and --first-id.", "list");
    const QCommandLineOption rate = option("rate", "Transponder frames per kart and second (default 5).", "hz", "5");
    const QCommandLineOption statusInterval =
        option("status-interval", "Milliseconds between status frames (default 1000).", "ms", "1000");
    const QCommandLineOption global =
        option("global", "Global limit at start, also every kart's limit (default 10000).", "rpm", "10000");
    const QCommandLineOption to = option("to",
                                         "Send frames to this address (broadcast, unicast or loopback); repeatable. "
                                         "Default: the broadcast address of every broadcast-capable interface that "
                                         "is up.",
                                         "address");
    const QCommandLineOption interfaceName =
        option("interface", "Send frames to the broadcast addresses of this interface; repeatable, combines with --to.",
               "name");
    const QCommandLineOption destPort = option("dest-port", "Destination UDP port (default 11309).", "port", "11309");
    const QCommandLineOption bind =
        option("bind", "Local address to listen on (default 0.0.0.0).", "address", "0.0.0.0");
    const QCommandLineOption listenPort =
        option("listen-port",
               "UDP port to listen on and send from (default 11309; 0 picks a free one, logged in the start line).",
               "port", "11309");
    const QCommandLineOption offline = option("offline",
                                              "Karts that fall silent: comma-separated ID (silent from the start) or "
                                              "ID@SECONDS (silent after that many seconds).",
                                              "list");
    const QCommandLineOption noStatus =
        option("no-status", "Send no status frames (the console shows the relay offline).");
    const QCommandLineOption statusFor = option("status-for", "Stop status frames after this many seconds.", "seconds");
    const QCommandLineOption applyDelay = option(
        "apply-delay", "Milliseconds before a limit command comes into force, to show unconfirmed limits (default 0).",
        "ms", "0");
    const QCommandLineOption pack = option("pack", "Send all karts' frames of one tick in one datagram.");
    const QCommandLineOption noControl = option("no-control", "Do not read control lines from standard input.");
    const QCommandLineOption seed = option("seed", "Seed of the simulation (default 1).", "n", "1");
    const QCommandLineOption replay =
        option("replay", "Play back what the relay sent in this capture (pcap or pcapng) instead of simulating karts.",
               "file");
    const QCommandLineOption replaySource = option(
        "replay-source", "The relay's address in the capture (default: the sender of the status frames).", "address");
    const QCommandLineOption speed = option("speed", "Replay speed: 2 plays twice as fast (default 1).", "factor", "1");
    const QCommandLineOption loop = option("loop", "Replay the capture over and over instead of ending.");

    // In the order --help lists them.
    QList<QCommandLineOption> all() const {
        return {karts,     firstId, ids,        rate,         statusInterval, global,    to,         interfaceName,
                destPort,  bind,    listenPort, offline,      noStatus,       statusFor, applyDelay, pack,
                noControl, seed,    replay,     replaySource, speed,          loop};
    }
    // What sets up simulated karts: a replay plays what its capture holds instead.
    QList<const QCommandLineOption *> simulationOnly() const {
        return {&karts,    &firstId,   &ids,        &rate, &statusInterval, &global, &offline,
                &noStatus, &statusFor, &applyDelay, &pack};
    }
};

// Reads the option into `value` when it is a whole number from `lowest` to 65535; false when it is not.
bool readUInt16(const QCommandLineParser &parser, const QCommandLineOption &option, uint lowest, quint16 *value) {
    bool ok = false;
    const uint number = parser.value(option).toUInt(&ok);
    if (!ok || number < lowest || number > 0xFFFF)
        return false;
    *value = quint16(number);
    return true;
}

// Each step below reads some options into the settings and returns why the command line is refused, or an empty
// text. They run in this order, so that of several mistakes the same one is reported first.
using ReadStep = QString (*)(const QCommandLineParser &, const Options &, SimulatorConfig &);

QString readKarts(const QCommandLineParser &parser, const Options &o, SimulatorConfig &config) {
    bool ok = true;
    if (parser.isSet(o.ids)) {
        const QStringList items = parser.value(o.ids).split(QLatin1Char(','), Qt::SkipEmptyParts);
        for (const QString &item : items) {
            const uint id = item.toUInt(&ok);
            if (!ok || id > 0xFFFF || config.transponderIds.contains(quint16(id)))
                return QStringLiteral("--ids wants distinct ids 0..65535");
            config.transponderIds << quint16(id);
        }
        return {};
    }
    const int count = parser.value(o.karts).toInt(&ok);
    if (!ok || count < 0 || count > 1000)
        return QStringLiteral("--karts wants 0..1000");
    const uint first = parser.value(o.firstId).toUInt(&ok);
    if (!ok || first + uint(count) > 0x10000)
        return QStringLiteral("--first-id leaves ids beyond 65535");
    for (int i = 0; i < count; ++i)
        config.transponderIds << quint16(first + uint(i));
    return {};
}

QString readFrames(const QCommandLineParser &parser, const Options &o, SimulatorConfig &config) {
    bool ok = true;
    config.frameRateHz = parser.value(o.rate).toDouble(&ok);
    if (!ok || config.frameRateHz <= 0 || config.frameRateHz > 1000)
        return QStringLiteral("--rate wants a rate above 0 and up to 1000");
    config.statusIntervalMs = parser.value(o.statusInterval).toInt(&ok);
    if (!ok || config.statusIntervalMs < 1)
        return QStringLiteral("--status-interval wants milliseconds >= 1");
    if (!readUInt16(parser, o.global, 0, &config.globalLimit))
        return QStringLiteral("--global wants an RPM 0..65535");
    return {};
}

// An IPv4 address written as four decimal parts, or null. Qt also reads shorthand ("1.2.3" as 1.2.0.3) and octal
// parts ("010" as 8), so a mistyped address would send frames to some real host.
QHostAddress parseDottedQuad(const QString &text) {
    const QHostAddress address(text);
    const bool dottedQuad = address.protocol() == QAbstractSocket::IPv4Protocol && address.toString() == text;
    return dottedQuad ? address : QHostAddress();
}

QString readAddresses(const QCommandLineParser &parser, const Options &o, SimulatorConfig &config) {
    for (const QString &text : parser.values(o.to)) {
        const QHostAddress address = parseDottedQuad(text);
        if (address.isNull())
            return QStringLiteral("--to wants an IPv4 address, not %1").arg(text);
        config.destinations << address;
    }
    config.interfaces = parser.values(o.interfaceName);
    if (!readUInt16(parser, o.destPort, 1, &config.destinationPort))
        return QStringLiteral("--dest-port wants 1..65535");
    config.bindAddress = QHostAddress(parser.value(o.bind));
    if (config.bindAddress.isNull())
        return QStringLiteral("--bind wants an address");
    if (!readUInt16(parser, o.listenPort, 0, &config.listenPort))
        return QStringLiteral("--listen-port wants 0..65535");
    return {};
}

QString readBehaviour(const QCommandLineParser &parser, const Options &o, SimulatorConfig &config) {
    if (parser.isSet(o.offline) && !parseOfflineList(parser.value(o.offline), &config.offlineAfterMs))
        return QStringLiteral("--offline wants ID or ID@SECONDS items");
    config.statusEnabled = !parser.isSet(o.noStatus);
    bool ok = true;
    if (parser.isSet(o.statusFor)) {
        const double seconds = parser.value(o.statusFor).toDouble(&ok);
        if (!ok || seconds < 0)
            return QStringLiteral("--status-for wants seconds >= 0");
        config.statusForMs = qint64(seconds * 1000);
    }
    config.applyDelayMs = parser.value(o.applyDelay).toInt(&ok);
    if (!ok || config.applyDelayMs < 0)
        return QStringLiteral("--apply-delay wants milliseconds >= 0");
    config.packFrames = parser.isSet(o.pack);
    config.readControl = !parser.isSet(o.noControl);
    config.seed = parser.value(o.seed).toUInt(&ok);
    if (!ok)
        return QStringLiteral("--seed wants a number");
    return {};
}

QString readReplay(const QCommandLineParser &parser, const Options &o, ReplayConfig &config) {
    for (const QCommandLineOption *simulated : o.simulationOnly()) {
        if (parser.isSet(*simulated))
            return QStringLiteral("--replay plays what the capture holds; --%1 does not go with it")
                .arg(simulated->names().constFirst());
    }
    config.path = parser.value(o.replay);
    if (parser.isSet(o.replaySource)) {
        config.source = parseDottedQuad(parser.value(o.replaySource));
        if (config.source.isNull())
            return QStringLiteral("--replay-source wants an IPv4 address");
    }
    bool ok = true;
    config.speed = parser.value(o.speed).toDouble(&ok);
    if (!ok || !(config.speed > 0) || config.speed > 1000)
        return QStringLiteral("--speed wants a factor above 0 and up to 1000");
    config.loop = parser.isSet(o.loop);
    return {};
}

}  // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("retranslator-sim"));
    qSetMessagePattern(
        QStringLiteral("%{time hh:mm:ss.zzz} %{if-warning}warning: %{endif}"
                       "%{if-critical}error: %{endif}%{message}"));

    const Options options;
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(description));
    parser.addHelpOption();
    parser.addOptions(options.all());
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().constFirst()));
    // The console's decoder, which finds the relay's status frames in a capture, logs every datagram otherwise.
    QLoggingCategory::setFilterRules(QStringLiteral("zadar.net.debug=false"));

    SimulatorConfig config;
    for (const ReadStep read : {readKarts, readFrames, readAddresses, readBehaviour}) {
        const QString refusal = read(parser, options, config);
        if (!refusal.isEmpty())
            return fail(refusal);
    }

    std::unique_ptr<CaptureReplay> captureReplay;
    if (parser.isSet(options.replay)) {
        ReplayConfig replayConfig;
        const QString refusal = readReplay(parser, options, replayConfig);
        if (!refusal.isEmpty())
            return fail(refusal);
        captureReplay = std::make_unique<CaptureReplay>(replayConfig);
        if (!captureReplay->prepare()) {
            std::fprintf(stderr, "retranslator-sim: %s\n", qPrintable(captureReplay->errorString()));
            return 2;
        }
    } else if (parser.isSet(options.replaySource) || parser.isSet(options.speed) || parser.isSet(options.loop)) {
        return fail(QStringLiteral("--replay-source, --speed and --loop go with --replay"));
    }

    Simulator simulator(config);
    simulator.setReplay(captureReplay.get());
    if (!simulator.start())
        return 1;
    return app.exec();
}
