// Arbitrary bytes as one received datagram. The decoder must neither crash nor read past the datagram (the
// bytes sit in a heap block of exactly their size, so AddressSanitizer sees any over-read), every record
// must hold values a frame can carry, and what it finds must equal what a plain step-by-step reading of the
// protocol rules finds (the decoder skips ahead and avoids parsing text that cannot be an object).
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzzsupport.h"
#include "net/datagramdecoder.h"

namespace {

struct Found {
    enum Kind { Command, Status, Transponder } kind;
    QJsonObject command;
    quint16 globalLimit = 0;
    TransponderState state{};

    bool operator==(const Found &other) const {
        return kind == other.kind && command == other.command && globalLimit == other.globalLimit &&
               state.transponderId == other.state.transponderId && state.rpmValue == other.state.rpmValue &&
               state.limitValue == other.state.limitValue && state.rssiValue == other.state.rssiValue;
    }
};

class Recorder final : public DatagramHandler {
public:
    void applicationCommand(const QJsonObject &command) override { found.push_back({Found::Command, command}); }
    void statusFrame(quint16 globalRpmLimit) override { found.push_back({Found::Status, {}, globalRpmLimit}); }
    void transponderFrame(const TransponderState &state) override {
        found.push_back({Found::Transponder, {}, 0, state});
    }
    std::vector<Found> found;
};

// The datagram rules read literally: zero-terminate, take the text, parse it as JSON, else scan byte by byte,
// skipping seven bytes at every step while the text is the discovery word.
std::vector<Found> decodeByTheRules(const uint8_t *data, size_t n) {
    std::vector<Found> found;
    std::vector<uint8_t> buffer(data, data + n);
    buffer.push_back(0);
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(buffer.data()));
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
    if (document.isObject()) {
        if (document.object().contains(QLatin1String("appCommand")))
            found.push_back({Found::Command, document.object()});
        return found;
    }
    const auto byteAt = [&](long long pos) -> int { return pos >= 0 && pos < (long long)n ? data[pos] : -1; };
    const auto markerAt = [&](long long pos, int first, int second) {
        return byteAt(pos) == first && byteAt(pos + 1) == second;
    };
    long long p = 0;
    long long r = (long long)n;
    while (r > 0) {
        if (text == QLatin1String("RERADOZ")) {
            p += 7;
            r -= 7;
        }
        if (markerAt(p, 0xAA, 0x55)) {
            if (markerAt(p + 18, 0xDE, 0xAD)) {
                if (data[p + 2] == 4)
                    found.push_back({Found::Status, {}, quint16(data[p + 10] | data[p + 11] << 8)});
                p += 20;
                r -= 20;
            } else if (markerAt(p + 21, 0xDE, 0xAD)) {
                if (data[p + 2] == 1) {
                    const TransponderState state{data[p + 3] | data[p + 4] << 8, data[p + 5] | data[p + 6] << 8,
                                                 data[p + 7] | data[p + 8] << 8, int(int8_t(data[p + 12]))};
                    found.push_back({Found::Transponder, {}, 0, state});
                }
                p += 23;
                r -= 23;
            } else {
                p += 1;
                r -= 1;
            }
        } else {
            p += 1;
            r -= 1;
        }
    }
    return found;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    FuzzSupport::initialize();
    // Debug output stays on (the decoder logs the datagram's text and every start marker); the quiet
    // message handler drops it.
    QLoggingCategory::setFilterRules(QStringLiteral("zadar.*.debug=true"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;  // the exchange never hands an empty datagram to the decoder
    // An exactly sized copy: a read of data[size] hits the heap redzone.
    const auto datagram = std::make_unique<char[]>(size);
    std::memcpy(datagram.get(), data, size);

    Recorder recorder;
    decodeDatagram(datagram.get(), qsizetype(size), recorder);

    size_t frames = 0;
    for (const Found &item : recorder.found) {
        if (item.kind == Found::Command) {
            FUZZ_CHECK(recorder.found.size() == 1);
            FUZZ_CHECK(item.command.contains(QLatin1String("appCommand")));
        } else {
            ++frames;
        }
        if (item.kind == Found::Transponder) {
            FUZZ_CHECK(item.state.transponderId >= 0 && item.state.transponderId <= 65535);
            FUZZ_CHECK(item.state.rpmValue >= 0 && item.state.rpmValue <= 65535);
            FUZZ_CHECK(item.state.limitValue >= 0 && item.state.limitValue <= 65535);
            FUZZ_CHECK(item.state.rssiValue >= -128 && item.state.rssiValue <= 127);
        }
    }
    FUZZ_CHECK(frames <= size / 20);  // frames never overlap and the shortest is 20 bytes
    FUZZ_CHECK(recorder.found == decodeByTheRules(data, size));
    return 0;
}
