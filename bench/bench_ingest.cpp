// Ingest against the raw socket. A sender thread blasts 23-byte transponder datagrams for 1000 karts over
// loopback at a given rate; first a minimal receive loop (recvmmsg on a plain socket) drains it, then the
// console's own path: the real DataExchange in its worker thread, the queued connection into the main thread
// and the live list model. Both are counted at the same instant after the send, so the figures compare.
//
// With --prototypes it also measures two other designs of the worker (see BatchingReceiver) on the same model.
//
// Usage: bench_ingest [--rates 10000,30000,0] [--seconds 2] [--grace-ms 100] [--net-debug] [--prototypes]
// A rate of 0 means as fast as the sender can go. Prints one JSON object per rate on standard output.
// Binds UDP ports 11309 to 11312 on all addresses: run it in a network namespace of its own.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>
#include <QVector>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/wiring.h"
#include "models/transponderslistmodel.h"
#include "net/dataexchange.h"
#include "net/datagramdecoder.h"
#include "net/exchangeenvironment.h"
#include "net/protocol.h"

namespace {

constexpr int kartCount = 1000;
constexpr int batchSize = 64;
// The ports above the console's own, for the receive loops it is compared with.
constexpr quint16 rawPort = Protocol::exchangePort + 1;
constexpr quint16 batchedPort = Protocol::exchangePort + 2;
constexpr quint16 mmsgBatchedPort = Protocol::exchangePort + 3;

using Clock = std::chrono::steady_clock;

// No local networks: the exchange pings nobody and every command it would send is dropped.
class SilentEnvironment final : public ExchangeEnvironment {
public:
    QList<QNetworkAddressEntry> qualifyingAddressEntries() const override { return {}; }
    void sendDatagram(QUdpSocket &, const char *, qint64, const QHostAddress &) override {}
};

double threadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// UDP datagrams the kernel dropped because a socket's receive buffer was full (this namespace only).
long udpReceiveBufferErrors() {
    std::ifstream snmp("/proc/net/snmp");
    std::string header, values;
    while (std::getline(snmp, header) && std::getline(snmp, values)) {
        if (header.rfind("Udp:", 0) != 0)
            continue;
        std::vector<std::string> names, numbers;
        for (std::string *line : {&header, &values}) {
            size_t start = 5;
            auto &out = line == &header ? names : numbers;
            while (start < line->size()) {
                const size_t end = line->find(' ', start);
                out.push_back(line->substr(start, end == std::string::npos ? std::string::npos : end - start));
                if (end == std::string::npos)
                    break;
                start = end + 1;
            }
        }
        for (size_t i = 0; i < names.size() && i < numbers.size(); ++i)
            if (names[i] == "RcvbufErrors")
                return std::stol(numbers[i]);
    }
    return -1;
}

// Every kart reports the unlimited RPM in force, which is what the console wants: no limit command answers it.
std::vector<std::array<char, Protocol::transponderFrameSize>> kartFrames() {
    std::vector<std::array<char, Protocol::transponderFrameSize>> frames(kartCount);
    for (int i = 0; i < kartCount; ++i) {
        const QByteArray frame = Protocol::transponderFrame(quint16(1001 + i), quint16(6000 + (i * 37) % 4000),
                                                            quint16(Protocol::unlimitedRpm), -60);
        std::copy(frame.cbegin(), frame.cend(), frames[size_t(i)].begin());
    }
    return frames;
}

struct SendResult {
    long sent = 0;
    double seconds = 0;
    double cpuSeconds = 0;
};

// Sends the karts' frames round-robin to 127.0.0.1:port at `rate` datagrams per second (0: unpaced) for
// `seconds`, in sendmmsg batches; the pace is kept on a 1 ms grid of absolute deadlines.
SendResult blast(quint16 port, long rate, double seconds) {
    static const auto frames = kartFrames();
    SendResult result;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(port);
    destination.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    iovec iov[batchSize];
    mmsghdr messages[batchSize];
    std::memset(messages, 0, sizeof(messages));
    for (int i = 0; i < batchSize; ++i) {
        messages[i].msg_hdr.msg_name = &destination;
        messages[i].msg_hdr.msg_namelen = sizeof(destination);
        messages[i].msg_hdr.msg_iov = &iov[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        iov[i].iov_len = Protocol::transponderFrameSize;
    }
    size_t nextKart = 0;
    const double cpuBefore = threadCpuSeconds();
    timespec tick{};
    clock_gettime(CLOCK_MONOTONIC, &tick);
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (auto now = start; now < end; now = Clock::now()) {
        long due = batchSize;
        if (rate > 0) {
            const double elapsed = std::chrono::duration<double>(now - start).count();
            due = long(elapsed * double(rate)) - result.sent;
            if (due <= 0) {
                tick.tv_nsec += 1'000'000;
                if (tick.tv_nsec >= 1'000'000'000) {
                    tick.tv_nsec -= 1'000'000'000;
                    ++tick.tv_sec;
                }
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &tick, nullptr);
                continue;
            }
        }
        while (due > 0) {
            const int count = int(std::min<long>(due, batchSize));
            for (int i = 0; i < count; ++i) {
                iov[i].iov_base = const_cast<char *>(frames[nextKart].data());
                nextKart = (nextKart + 1) % frames.size();
            }
            const int sent = sendmmsg(fd, messages, unsigned(count), 0);
            if (sent <= 0)
                break;
            result.sent += sent;
            due -= sent;
        }
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.cpuSeconds = threadCpuSeconds() - cpuBefore;
    close(fd);
    return result;
}

// Room for one recvmmsg() call: up to batchSize datagrams of up to 2 KiB each, with their senders.
struct ReceiveBatch {
    char buffers[batchSize][2048];
    sockaddr_in senders[batchSize];
    iovec iov[batchSize];
    mmsghdr messages[batchSize];

    // The number of datagrams received, or -1.
    int receive(int fd, int flags) {
        for (int i = 0; i < batchSize; ++i) {
            iov[i] = {buffers[i], sizeof(buffers[i])};
            std::memset(&messages[i], 0, sizeof(messages[i]));
            messages[i].msg_hdr.msg_name = &senders[i];
            messages[i].msg_hdr.msg_namelen = sizeof(senders[i]);
            messages[i].msg_hdr.msg_iov = &iov[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        return recvmmsg(fd, messages, batchSize, flags, nullptr);
    }
};

// The minimal receive loop: recvmmsg batches on a plain blocking socket, counting datagrams.
class RawReceiver {
public:
    RawReceiver() {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(rawPort);
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(m_fd, reinterpret_cast<sockaddr *>(&local), sizeof(local)) != 0)
            std::perror("bench_ingest: bind raw port");
        timeval timeout{0, 20'000};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        // The receive buffer the console asks for, so that both meet bursts with the same room.
        const int bufferBytes = 4 << 20;
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof(bufferBytes));
        m_thread = std::thread([this] { run(); });
    }
    ~RawReceiver() {
        m_stop = true;
        m_thread.join();
        close(m_fd);
    }
    long received() const { return m_received.load(); }

private:
    void run() {
        pthread_setname_np(pthread_self(), "raw-receiver");
        static ReceiveBatch batch;
        while (!m_stop) {
            const int count = batch.receive(m_fd, MSG_WAITFORONE);
            if (count > 0)
                m_received.fetch_add(count, std::memory_order_relaxed);
        }
    }

    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_received{0};
    std::thread m_thread;
};

// Collects the transponder states of one or more datagrams.
class CollectingHandler final : public DatagramHandler {
public:
    void applicationCommand(const QJsonObject &) override {}
    void statusFrame(quint16) override {}
    void transponderFrame(const TransponderState &state) override { states.append(state); }
    QVector<TransponderState> states;
};

// Prototypes of two other designs, for comparison only: the worker hands the main thread one queued call per
// drained batch of reports instead of one per report, reading either with QUdpSocket (one system call per
// datagram) or with recvmmsg on the socket (one per 64 datagrams).
class BatchingReceiver : public QObject {
public:
    enum class Reader { QtSocket, Recvmmsg };

    BatchingReceiver(Reader reader, TranspondersListModel &model) : m_reader(reader), m_model(model) {
        moveToThread(&m_thread);
        connect(&m_thread, &QThread::started, this, &BatchingReceiver::start);
        connect(&m_thread, &QThread::finished, this, &BatchingReceiver::stop);
        m_thread.start();
    }
    ~BatchingReceiver() override {
        m_thread.quit();
        m_thread.wait();
    }
    quint16 port() const { return m_reader == Reader::QtSocket ? batchedPort : mmsgBatchedPort; }

private:
    void start() {
        if (m_reader == Reader::QtSocket) {
            m_socket = new QUdpSocket(this);
            m_socket->bind(QHostAddress::AnyIPv4, batchedPort);
            connect(m_socket, &QUdpSocket::readyRead, this, &BatchingReceiver::readQt);
            return;
        }
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(mmsgBatchedPort);
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(m_fd, reinterpret_cast<sockaddr *>(&local), sizeof(local)) != 0)
            std::perror("bench_ingest: bind prototype port");
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &BatchingReceiver::readMmsg);
    }
    void stop() {
        delete m_socket;
        delete m_notifier;
        if (m_fd >= 0)
            close(m_fd);
    }
    void readQt() {
        static char buffer[65536];
        CollectingHandler handler;
        QHostAddress sender;
        quint16 senderPort = 0;
        for (;;) {
            const qint64 size = m_socket->readDatagram(buffer, sizeof(buffer), &sender, &senderPort);
            if (size < 0)
                break;
            if (size > 0)
                decodeDatagram(buffer, size, handler);
        }
        deliver(std::move(handler.states));
    }
    void readMmsg() {
        static ReceiveBatch batch;
        CollectingHandler handler;
        for (;;) {
            const int count = batch.receive(m_fd, MSG_DONTWAIT);
            for (int i = 0; i < count; ++i)
                if (batch.messages[i].msg_len > 0)
                    decodeDatagram(batch.buffers[i], batch.messages[i].msg_len, handler);
            if (count < batchSize)
                break;
        }
        deliver(std::move(handler.states));
    }
    void deliver(QVector<TransponderState> states) {
        if (states.isEmpty())
            return;
        TranspondersListModel *model = &m_model;
        QMetaObject::invokeMethod(
            model,
            [model, states] {
                for (const TransponderState &state : states)
                    model->updateTransponderState(state);
            },
            Qt::QueuedConnection);
    }

    Reader m_reader;
    TranspondersListModel &m_model;
    QThread m_thread;
    QUdpSocket *m_socket = nullptr;
    QSocketNotifier *m_notifier = nullptr;
    int m_fd = -1;
};

// Counts the reports that reach the live list: an updated row announces the report roles, a new row is an
// inserted row.
class DeliveryCounter {
public:
    explicit DeliveryCounter(TranspondersListModel &model) {
        QObject::connect(&model, &QAbstractItemModel::dataChanged, &model,
                         [this](const QModelIndex &, const QModelIndex &, const QVector<int> &roles) {
                             if (roles.contains(TranspondersListModel::RpmValueRole))
                                 m_delivered.fetch_add(1, std::memory_order_relaxed);
                         });
        QObject::connect(&model, &QAbstractItemModel::rowsInserted, &model,
                         [this](const QModelIndex &, int first, int last) {
                             m_delivered.fetch_add(last - first + 1, std::memory_order_relaxed);
                         });
    }
    long delivered() const { return m_delivered.load(); }

private:
    std::atomic<long> m_delivered{0};
};

// Runs the main thread's event loop until `done` holds or `timeoutMs` passes; `done` is polled every 5 ms.
template <typename Done>
void spinUntil(Done done, int timeoutMs) {
    QEventLoop loop;
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done() || elapsed.elapsed() >= timeoutMs)
            loop.quit();
    });
    poll.start(5);
    loop.exec();
}

struct Phase {
    SendResult send;
    long countedAtDeadline = 0;
    long countedAfterDrain = 0;
    long bufferDrops = 0;
    double receiverCpuSeconds = 0;
};

// Sends while the main thread keeps processing events, samples `count` at send end + grace from a watcher
// thread (so a busy main thread cannot delay the sample), then lets the receiver drain.
template <typename Count>
Phase measure(quint16 port, long rate, double seconds, int graceMs, Count count, bool runEventLoop) {
    Phase phase;
    const long dropsBefore = udpReceiveBufferErrors();
    const long countBefore = count();
    const double cpuBefore = processCpuSeconds();
    std::atomic<bool> sent{false};
    std::atomic<long> atDeadline{-1};
    std::thread sender([&] {
        pthread_setname_np(pthread_self(), "sender");
        phase.send = blast(port, rate, seconds);
        sent = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(graceMs));
        atDeadline = count() - countBefore;
    });
    if (runEventLoop)
        spinUntil([&] { return atDeadline.load() >= 0; }, int(seconds * 1000) + graceMs + 60'000);
    sender.join();
    phase.countedAtDeadline = atDeadline.load();
    // Drain: wait until nothing more arrives for 300 ms (at most 20 s).
    long last = count();
    QElapsedTimer quiet;
    quiet.start();
    const auto settled = [&] {
        const long now = count();
        if (now != last) {
            last = now;
            quiet.restart();
        }
        return quiet.elapsed() >= 300;
    };
    if (runEventLoop) {
        spinUntil(settled, 20'000);
    } else {
        for (int waited = 0; !settled() && waited < 20'000; waited += 5)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    phase.countedAfterDrain = last - countBefore;
    phase.bufferDrops = udpReceiveBufferErrors() - dropsBefore;
    phase.receiverCpuSeconds = processCpuSeconds() - cpuBefore - phase.send.cpuSeconds;
    return phase;
}

void printPhase(const char *name, const Phase &phase) {
    std::printf(
        "\"%s\":{\"sent\":%ld,\"send_seconds\":%.4f,\"sender_cpu\":%.4f,\"received\":%ld,\"received_after_drain\":%ld,"
        "\"buffer_drops\":%ld,\"receiver_cpu\":%.4f}",
        name, phase.send.sent, phase.send.seconds, phase.send.cpuSeconds, phase.countedAtDeadline,
        phase.countedAfterDrain, phase.bufferDrops, phase.receiverCpuSeconds);
}

}  // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QStringList rates{QStringLiteral("10000"), QStringLiteral("30000"), QStringLiteral("100000"), QStringLiteral("0")};
    double seconds = 2;
    int graceMs = 100;
    bool netDebug = false;
    bool prototypes = false;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        const bool hasValue = i + 1 < args.size();
        if (arg == QLatin1String("--rates") && hasValue) {
            rates = args.at(++i).split(QLatin1Char(','), Qt::SkipEmptyParts);
        } else if (arg == QLatin1String("--seconds") && hasValue) {
            seconds = args.at(++i).toDouble();
        } else if (arg == QLatin1String("--grace-ms") && hasValue) {
            graceMs = args.at(++i).toInt();
        } else if (arg == QLatin1String("--net-debug")) {
            netDebug = true;
        } else if (arg == QLatin1String("--prototypes")) {
            prototypes = true;
        } else {
            std::fprintf(
                stderr,
                "usage: bench_ingest [--rates R,R,...] [--seconds S] [--grace-ms MS] [--net-debug] [--prototypes]\n");
            return 2;
        }
    }
    if (!netDebug)
        QLoggingCategory::setFilterRules(QStringLiteral("zadar.net.debug=false"));

    DataExchange exchange(std::make_unique<SilentEnvironment>());
    TranspondersListModel model;
    connectExchangeAndLiveList(exchange, model);
    DeliveryCounter counter(model);

    // Warm up: every kart gets its row, so the measured reports update rows as on a running track.
    for (int attempt = 0; attempt < 50 && model.rowCount() < kartCount; ++attempt) {
        std::thread sender([] { blast(Protocol::exchangePort, 20'000, 0.1); });
        spinUntil([] { return false; }, 150);
        sender.join();
    }
    spinUntil([] { return false; }, 200);
    if (model.rowCount() != kartCount) {
        std::fprintf(stderr, "bench_ingest: the console path made %d rows of %d (port 11309 taken?)\n",
                     model.rowCount(), kartCount);
        return 1;
    }

    for (const QString &rateText : rates) {
        const long rate = rateText.toLong();
        Phase raw;
        {
            RawReceiver receiver;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            raw = measure(
                rawPort, rate, seconds, graceMs, [&receiver] { return receiver.received(); }, false);
        }
        const Phase console = measure(
            Protocol::exchangePort, rate, seconds, graceMs, [&counter] { return counter.delivered(); }, true);
        std::printf("{\"rate\":%ld,\"seconds\":%.3f,\"grace_ms\":%d,\"net_debug\":%s,", rate, seconds, graceMs,
                    netDebug ? "true" : "false");
        printPhase("raw", raw);
        std::printf(",");
        printPhase("console", console);
        if (prototypes) {
            for (const auto reader : {BatchingReceiver::Reader::QtSocket, BatchingReceiver::Reader::Recvmmsg}) {
                BatchingReceiver receiver(reader, model);
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                const Phase phase = measure(
                    receiver.port(), rate, seconds, graceMs, [&counter] { return counter.delivered(); }, true);
                std::printf(",");
                printPhase(reader == BatchingReceiver::Reader::QtSocket ? "batched" : "recvmmsg_batched", phase);
            }
        }
        std::printf("}\n");
        std::fflush(stdout);
    }
    return 0;
}
