// Arbitrary bytes as one received datagram. The decoder must neither crash nor read past the datagram (the
// bytes sit in a heap block of exactly their size, so AddressSanitizer sees any over-read), every record
// must hold values a frame can carry, what it finds must equal what the reference decoder's step-by-step
// reading of the rules finds (the decoder skips ahead and avoids parsing text that cannot be an object).
#include <QJsonObject>
#include <QLoggingCategory>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzzsupport.h"
#include "net/datagramdecoder.h"
#include "net/protocol.h"
#include "referencedecoder.h"

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
    FUZZ_CHECK(frames <= size / Protocol::statusFrameSize);  // frames never overlap; the status frame is shortest
    Recorder reference;
    referenceDecode(QByteArray(reinterpret_cast<const char *>(data), int(size)), reference);
    FUZZ_CHECK(recorder.found == reference.found);
    return 0;
}
