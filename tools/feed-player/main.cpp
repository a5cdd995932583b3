// feed-player: plays a recorded RMonitor session as the track's timing software would, on a TCP port.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <cstdio>

#include "feedplayer.h"

namespace {

const char description[] = R"(Plays a recorded RMonitor session (the race flag feed of timing software) to the console.

It listens on a TCP port, like the timing software the console follows, and sends the lines
of FILE, each ended with CR LF, to every client connected at the time. Playing starts when
the first client connects; clients that come later join the feed where it is. A $F heartbeat
goes out as long after the previous heartbeat as their time-of-day fields differ (divided by
--speed); a line without a time goes out right after the line before it. What the clients
send is ignored. At the end of the file it closes the connections and exits with 0, unless
--loop starts the file again after a second. It exits with 2 when the file cannot be read
or the port cannot be opened.

samples/rmonitor-session.txt is a short session with every flag: none, green, yellow,
green, red, green, finish, none.

Log lines (standard error):
  start file=<file> lines=<n> duration=<s>s speed=<f> loop=on|off listen=<addr>:<port>
  client <addr>:<port> connected | left
  flag green|yellow|red|finish|none line <n>    (when a heartbeat's flag differs from the last)
  round <n>                                     (with --loop)
  end sent=<n>)";

int fail(const QString &message) {
    std::fprintf(stderr, "feed-player: %s (see --help)\n", qPrintable(message));
    return 2;
}

}  // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("feed-player"));
    qSetMessagePattern(
        QStringLiteral("%{time hh:mm:ss.zzz} %{if-warning}warning: %{endif}"
                       "%{if-critical}error: %{endif}%{message}"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(description));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QStringLiteral("The recorded session, one RMonitor line a line."));
    const QCommandLineOption port(
        QStringLiteral("port"),
        QStringLiteral("TCP port to listen on (default 50000; 0 picks a free one, logged in the start line)."),
        QStringLiteral("port"), QStringLiteral("50000"));
    const QCommandLineOption listen(
        QStringLiteral("listen"),
        QStringLiteral("Local address to listen on (default 127.0.0.1; 0.0.0.0 for every interface)."),
        QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption speed(QStringLiteral("speed"), QStringLiteral("Play N times faster (default 1)."),
                                   QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption loop(QStringLiteral("loop"),
                                  QStringLiteral("Start the file again after its end, without end."));
    parser.addOptions({port, listen, speed, loop});
    parser.process(app);

    if (parser.positionalArguments().size() != 1)
        return fail(QStringLiteral("wants one FILE"));
    FeedPlayer::Config config;
    config.path = parser.positionalArguments().constFirst();
    bool ok = false;
    const uint portNumber = parser.value(port).toUInt(&ok);
    if (!ok || portNumber > 65535)
        return fail(QStringLiteral("--port wants 0..65535"));
    config.port = quint16(portNumber);
    config.listenAddress = QHostAddress(parser.value(listen));
    if (config.listenAddress.isNull())
        return fail(QStringLiteral("--listen wants an IP address"));
    config.speed = parser.value(speed).toDouble(&ok);
    if (!ok || !(config.speed > 0) || config.speed > 1000)
        return fail(QStringLiteral("--speed wants a factor above 0 and up to 1000"));
    config.loop = parser.isSet(loop);

    FeedPlayer player(config);
    if (!player.start())
        return 2;
    return app.exec();
}
