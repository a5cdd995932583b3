// Floods one address with UDP datagrams for the fault tests: mostly malformed ones (random bytes, frames cut
// short or with broken markers, JSON of every wrong shape, a few near the 64 KiB limit) with valid
// transponder frames and status frames mixed in at fixed intervals. Plain POSIX sockets and sendmmsg(), so
// that one core can keep 100000 datagrams per second going.
//   e2e_flood_sender --to ADDR [--rate N] [--seconds S] [--valid-every K] [--ids FIRST,COUNT]
//                    [--status-ms MS] [--global RPM] [--seed N] [--packed] [--limit RPM]
// Every K-th datagram is a transponder frame of one of COUNT ids from FIRST on, reporting the limit RPM in force
// (5000 unless given: a console that wants 10000 answers every such report with a limit command);
// every MS milliseconds a status frame reports the global limit RPM. Sends from port 11309, like a relay.
// A rate of 0 sends as fast as sendmmsg() goes. --packed makes every datagram but the status frames one of the
// largest a UDP datagram can be, holding 2848 valid transponder frames back to back (ids cycling over COUNT).
// At the end it prints one line: "flood sent=<n> malformed=<n> transponder=<n> status=<n> failed=<n>
// seconds=<s> rate=<n>/s".

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "net/protocol.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr int batchSize = 64;

struct Options {
    const char *to = nullptr;
    long rate = 100000;
    double seconds = 10;
    long validEvery = 100;
    int firstId = 5001;
    int idCount = 20;
    int statusMs = 500;
    int globalLimit = Protocol::unlimitedRpm;
    unsigned seed = 1;
    bool packed = false;
    int limit = 5000;
};

constexpr int framesPerPackedDatagram = 65507 / Protocol::transponderFrameSize;

Bytes bytes(const QByteArray &array) {
    return Bytes(array.cbegin(), array.cend());
}

Bytes transponderFrame(int id, int rpm, int limit, int rssi) {
    return bytes(Protocol::transponderFrame(quint16(id), quint16(rpm), quint16(limit), qint8(rssi)));
}

Bytes statusFrame(int globalLimit) {
    return bytes(Protocol::statusFrame(quint16(globalLimit)));
}

Bytes text(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

// A fixed set of malformed datagrams, built once; the flood cycles through them in random order.
std::vector<Bytes> malformedDatagrams(std::mt19937 &rng, const Options &options) {
    std::vector<Bytes> all;
    std::uniform_int_distribution<int> byte(0, 255);
    auto randomBytes = [&](std::size_t size) {
        Bytes b(size);
        for (auto &x : b)
            x = std::uint8_t(byte(rng));
        return b;
    };
    for (int i = 0; i < 200; ++i)
        all.push_back(randomBytes(1 + rng() % 300));
    // Random bytes full of start markers, which make the scan test every position.
    for (int i = 0; i < 50; ++i) {
        Bytes b = randomBytes(200 + rng() % 1200);
        for (std::size_t p = 0; p + 1 < b.size(); p += 2 + rng() % 4) {
            b[p] = Protocol::startMarker[0];
            b[p + 1] = Protocol::startMarker[1];
        }
        all.push_back(b);
    }
    const Bytes frame = transponderFrame(options.firstId, 9000, 5000, -60);
    for (std::size_t cut = 1; cut < frame.size(); ++cut)
        all.push_back(Bytes(frame.begin(), frame.begin() + cut));
    for (int type : {0, 2, 3, 4, 255}) {
        Bytes wrong = transponderFrame(options.firstId, 9000, 5000, -60);
        wrong[Protocol::frameTypeOffset] = std::uint8_t(type);
        all.push_back(wrong);
        Bytes status = statusFrame(0);
        status[Protocol::frameTypeOffset] =
            std::uint8_t(type == Protocol::statusFrameType ? Protocol::transponderFrameType : type);
        all.push_back(status);
    }
    Bytes brokenEnd = frame;
    brokenEnd[Protocol::transponderFrameSize - 1] = 0xAE;
    all.push_back(brokenEnd);
    // JSON that is no command, or a command of the wrong shape. None names a valid limit mode, so none may
    // change what the console does.
    for (const char *json :
         {"{",
          "}",
          "{}",
          "[]",
          "null",
          "true",
          "1e999",
          "\"appCommand\"",
          "{\"value\":\"p25\"}",
          "{\"appCommand\":null}",
          "{\"appCommand\":1}",
          "{\"appCommand\":[1,2,3]}",
          "{\"appCommand\":{\"appCommand\":{}}}",
          "{\"appCommand\":\"globalRpmLimit\"}",
          "{\"appCommand\":\"globalRpmLimit\",\"value\":null}",
          "{\"appCommand\":\"globalRpmLimit\",\"value\":25}",
          "{\"appCommand\":\"globalRpmLimit\",\"value\":\"p33\"}",
          "{\"appCommand\":\"globalRpmLimit\",\"value\":{\"p25\":true}}",
          "{\"appCommand\":\"transponderLimit\",\"transponderId\":-1,\"value\":\"p99\"}",
          "{\"appCommand\":\"transponderLimit\",\"transponderId\":1e300,\"value\":\"x\"}",
          "{\"appCommand\":\"transponderLimit\",\"transponderId\":\"5001\",\"value\":[]}",
          "{\"appCommand\":\"transponderLimit\",\"transponderId\":99999999999999999999,\"value\":\"p0x\"}",
          "{\"appCommand\":\"transponderLimit\",\"value\":\"p50\"}",
          "{\"appCommand\":\"\xff\xfe\"}",
          "{\"appCommand\":\"somethingNew\",\"value\":\"p50\"}",
          "RERADOZRERADOZ",
          "\xef\xbb\xbf{\"appCommand\":1}"}) {
        all.push_back(text(json));
    }
    // Deep nesting and a long array: the parser's limits, not ours, decide.
    all.push_back(text(std::string(5000, '[') + std::string(5000, ']')));
    std::string longArray = "{\"appCommand\":\"x\",\"a\":[";
    for (int i = 0; i < 2000; ++i)
        longArray += std::to_string(i) + ",";
    longArray += "0]}";
    all.push_back(text(longArray));
    // What consoles send, which the console must take as nothing.
    all.push_back(bytes(Protocol::globalLimitCommand(0)));
    all.push_back(bytes(Protocol::transponderLimitCommand(options.firstId, 0)));
    all.push_back(text(Protocol::discoveryWord));
    // JSON that hides a valid frame after a zero byte: never scanned.
    Bytes hidden = text("{\"appCommand\":\"x\"}");
    hidden.push_back(0);
    hidden.insert(hidden.end(), frame.begin(), frame.end());
    all.push_back(hidden);
    // Near the largest datagram, random.
    all.push_back(randomBytes(65000));
    return all;
}

bool parse(int argc, char **argv, Options &options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--packed") {
            options.packed = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const char *value = argv[++i];
        if (arg == "--to")
            options.to = value;
        else if (arg == "--rate")
            options.rate = std::atol(value);
        else if (arg == "--seconds")
            options.seconds = std::atof(value);
        else if (arg == "--valid-every")
            options.validEvery = std::atol(value);
        else if (arg == "--ids") {
            if (std::sscanf(value, "%d,%d", &options.firstId, &options.idCount) != 2)
                return false;
        } else if (arg == "--status-ms")
            options.statusMs = std::atoi(value);
        else if (arg == "--global")
            options.globalLimit = std::atoi(value);
        else if (arg == "--seed")
            options.seed = unsigned(std::atol(value));
        else if (arg == "--limit")
            options.limit = std::atoi(value);
        else
            return false;
    }
    return options.to && options.rate >= 0 && options.seconds > 0 && options.validEvery > 0 && options.idCount > 0 &&
           options.statusMs > 0;
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: %s --to ADDR [--rate N] [--seconds S] [--valid-every K] [--ids FIRST,COUNT] "
                     "[--status-ms MS] [--global RPM] [--seed N] [--packed] [--limit RPM]\n",
                     argv[0]);
        return 2;
    }
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(Protocol::exchangePort);
    if (inet_pton(AF_INET, options.to, &destination.sin_addr) != 1) {
        std::fprintf(stderr, "not an IPv4 address: %s\n", options.to);
        return 2;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    const int sendBuffer = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_port = htons(Protocol::exchangePort);
    if (bind(fd, reinterpret_cast<sockaddr *>(&source), sizeof source) != 0) {
        std::perror("bind");
        return 1;
    }

    std::mt19937 rng(options.seed);
    const std::vector<Bytes> malformed = malformedDatagrams(rng, options);
    std::vector<Bytes> valid;
    for (int i = 0; i < options.idCount; ++i)
        valid.push_back(transponderFrame(options.firstId + i, 8000 + i, options.limit, -50 - i));
    Bytes packed;
    for (int i = 0; i < framesPerPackedDatagram; ++i)
        packed.insert(packed.end(), valid[std::size_t(i % options.idCount)].begin(),
                      valid[std::size_t(i % options.idCount)].end());
    const Bytes status = statusFrame(options.globalLimit);

    long sent = 0, malformedSent = 0, transponderSent = 0, statusSent = 0, failed = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(options.seconds);
    auto nextStatus = start;
    const auto statusInterval = std::chrono::milliseconds(options.statusMs);
    long index = 0;
    mmsghdr messages[batchSize];
    iovec vectors[batchSize];
    const Bytes *kinds[batchSize];
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
        // How many datagrams should be out by now; send the shortfall in batches, then sleep a little.
        const double elapsed = std::chrono::duration<double>(now - start).count();
        const long due = options.rate == 0 ? sent + batchSize : long(elapsed * double(options.rate));
        if (sent >= due) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        int count = 0;
        if (now >= nextStatus) {
            kinds[count++] = &status;
            nextStatus += statusInterval;
        }
        while (count < batchSize && sent + count < due) {
            ++index;
            if (options.packed)
                kinds[count++] = &packed;
            else if (index % options.validEvery == 0)
                kinds[count++] = &valid[std::size_t((index / options.validEvery) % options.idCount)];
            else
                kinds[count++] = &malformed[std::size_t(rng() % malformed.size())];
        }
        for (int i = 0; i < count; ++i) {
            vectors[i].iov_base = const_cast<std::uint8_t *>(kinds[i]->data());
            vectors[i].iov_len = kinds[i]->size();
            messages[i] = {};
            messages[i].msg_hdr.msg_name = &destination;
            messages[i].msg_hdr.msg_namelen = sizeof destination;
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        int done = sendmmsg(fd, messages, unsigned(count), 0);
        if (done < 0)
            done = 0;
        // A datagram the kernel would not take (a full queue) counts as sent and failed: the rate stays fixed.
        failed += count - done;
        for (int i = 0; i < count; ++i) {
            if (kinds[i] == &status)
                ++statusSent;
            else if (kinds[i] == &packed)
                transponderSent += framesPerPackedDatagram;
            else if (kinds[i] >= valid.data() && kinds[i] < valid.data() + valid.size())
                ++transponderSent;
            else
                ++malformedSent;
        }
        sent += count;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("flood sent=%ld malformed=%ld transponder=%ld status=%ld failed=%ld seconds=%.2f rate=%.0f/s\n", sent,
                malformedSent, transponderSent, statusSent, failed, seconds, double(sent) / seconds);
    close(fd);
    return 0;
}
