#include "datagramdecoder.h"

#include <QJsonDocument>
#include <QString>
#include <algorithm>
#include <cstring>
#include <limits>

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#include <immintrin.h>
#define DEVIV_AVX2_MARKER_SCAN 1
#endif

#include "netlogging.h"
#include "protocol.h"

namespace {

using Protocol::endMarker;
using Protocol::startMarker;

quint16 readUInt16(const uchar *bytes) {
    return quint16(bytes[0] | (bytes[1] << 8));
}

bool isJsonWhiteSpace(uchar byte) {
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}

// A JSON object can only start with "{" after byte order marks and white space. Anything else
// cannot parse as an object, so the (allocating) text conversion and JSON parse are skipped.
bool mayBeJsonObject(const uchar *bytes, qsizetype size) {
    qsizetype i = 0;
    while (i < size) {
        if (isJsonWhiteSpace(bytes[i])) {
            ++i;
        } else if (size - i >= 3 && bytes[i] == 0xEF && bytes[i + 1] == 0xBB && bytes[i + 2] == 0xBF) {
            i += 3;
        } else {
            return bytes[i] == '{';
        }
    }
    return false;
}

bool hasMarkerAt(const uchar *bytes, qsizetype size, qsizetype pos, const uchar (&marker)[2]) {
    return pos + 1 < size && bytes[pos] == marker[0] && bytes[pos + 1] == marker[1];
}

// Whether the datagram's text is the discovery word: the word, or the word after one UTF-8 byte order mark (the
// text conversion drops a leading mark), then the end of the datagram or a zero byte.
bool isDiscoveryPingText(const uchar *bytes, qsizetype size) {
    const qsizetype start = size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
    const qsizetype end = start + Protocol::discoveryWordSize;
    return size >= end && std::memcmp(bytes + start, Protocol::discoveryWord, Protocol::discoveryWordSize) == 0 &&
           (size == end || bytes[end] == 0);
}

// Looks for a frame at `pos` and delivers it, counting it in `delivered`; returns how far the scan advances.
qsizetype scanAt(const uchar *bytes, qsizetype size, qsizetype pos, DatagramHandler &handler, int &delivered) {
    if (!hasMarkerAt(bytes, size, pos, startMarker))
        return 1;
    qCDebug(lcNet) << Protocol::transponderFrameSize;
    const uchar *frame = bytes + pos;
    if (hasMarkerAt(bytes, size, pos + Protocol::statusFrameSize - 2, endMarker)) {
        if (frame[Protocol::frameTypeOffset] == Protocol::statusFrameType) {
            handler.statusFrame(readUInt16(frame + Protocol::globalLimitOffset));
            ++delivered;
        }
        return Protocol::statusFrameSize;
    }
    if (hasMarkerAt(bytes, size, pos + Protocol::transponderFrameSize - 2, endMarker)) {
        if (frame[Protocol::frameTypeOffset] == Protocol::transponderFrameType) {
            const TransponderState state{readUInt16(frame + Protocol::transponderIdOffset),
                                         readUInt16(frame + Protocol::rpmOffset),
                                         readUInt16(frame + Protocol::limitOffset), qint8(frame[Protocol::rssiOffset])};
            handler.transponderFrame(state);
            ++delivered;
        }
        return Protocol::transponderFrameSize;
    }
    return 1;
}

// Position of the first start marker (0xAA 0x55) that begins at or after `from`, or `size` if there is none.
qsizetype findStartMarkerPortable(const uchar *bytes, qsizetype size, qsizetype from) {
    qsizetype pos = from;
    while (pos + 1 < size) {
        const void *candidate = std::memchr(bytes + pos, startMarker[0], size_t(size - 1 - pos));
        if (!candidate)
            return size;
        pos = static_cast<const uchar *>(candidate) - bytes;
        if (bytes[pos + 1] == startMarker[1])
            return pos;
        ++pos;
    }
    return size;
}

#ifdef DEVIV_AVX2_MARKER_SCAN
// The same search testing 64 positions at a time for the whole marker pair. In noise a lone 0xAA turns up every
// 256 bytes or so, and restarting memchr at each of them costs far more than the scan between them.
__attribute__((target("avx2"))) qsizetype findStartMarkerAvx2(const uchar *bytes, qsizetype size, qsizetype from) {
    const __m256i first = _mm256_set1_epi8(char(startMarker[0]));
    const __m256i second = _mm256_set1_epi8(char(startMarker[1]));
    qsizetype pos = from;
    // Each step tests the pairs that start at pos .. pos + 63, which reads bytes pos .. pos + 64.
    for (; pos + 65 <= size; pos += 64) {
        const auto *p = reinterpret_cast<const __m256i *>(bytes + pos);
        const auto *q = reinterpret_cast<const __m256i *>(bytes + pos + 1);
        const __m256i low = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256(p), first),
                                             _mm256_cmpeq_epi8(_mm256_loadu_si256(q), second));
        const __m256i high = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256(p + 1), first),
                                              _mm256_cmpeq_epi8(_mm256_loadu_si256(q + 1), second));
        const __m256i any = _mm256_or_si256(low, high);
        if (!_mm256_testz_si256(any, any)) {
            const quint64 mask =
                quint64(quint32(_mm256_movemask_epi8(low))) | (quint64(quint32(_mm256_movemask_epi8(high))) << 32);
            return pos + __builtin_ctzll(mask);
        }
    }
    return findStartMarkerPortable(bytes, size, pos);
}

// The same with 64-byte vectors and mask registers: half the instructions per byte of the AVX2 loop.
__attribute__((target("avx512bw"))) qsizetype findStartMarkerAvx512(const uchar *bytes, qsizetype size,
                                                                    qsizetype from) {
    const __m512i first = _mm512_set1_epi8(char(startMarker[0]));
    const __m512i second = _mm512_set1_epi8(char(startMarker[1]));
    qsizetype pos = from;
    // Each step tests the pairs that start at pos .. pos + 127, which reads bytes pos .. pos + 128.
    for (; pos + 129 <= size; pos += 128) {
        const uchar *p = bytes + pos;
        const __mmask64 low = _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(p), first) &
                              _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(p + 1), second);
        const __mmask64 high = _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(p + 64), first) &
                               _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(p + 65), second);
        if (low | high)
            return pos + (low ? __builtin_ctzll(low) : 64 + __builtin_ctzll(high));
    }
    return findStartMarkerAvx2(bytes, size, pos);
}
#endif

}  // namespace

std::vector<std::pair<const char *, StartMarkerSearch>> availableStartMarkerSearches() {
    std::vector<std::pair<const char *, StartMarkerSearch>> searches{{"portable", findStartMarkerPortable}};
#ifdef DEVIV_AVX2_MARKER_SCAN
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        searches.emplace_back("avx2", findStartMarkerAvx2);
    if (__builtin_cpu_supports("avx512bw"))
        searches.emplace_back("avx512bw", findStartMarkerAvx512);
#endif
    return searches;
}

void decodeDatagram(const char *data, qsizetype size, DatagramHandler &handler) {
    decodeDatagramPart(data, size, 0, std::numeric_limits<int>::max(), handler);
}

qsizetype decodeDatagramPart(const char *data, qsizetype size, qsizetype from, int maxFrames,
                             DatagramHandler &handler) {
    const auto *bytes = reinterpret_cast<const uchar *>(data);

    // White space, byte order marks and "{" contain no zero byte, so the test gives the same answer on the whole
    // datagram as on its text; the text's length is only needed when it is logged or parsed.
    const bool logText = from == 0 && lcNet().isDebugEnabled();
    const bool mayBeJson = from == 0 && mayBeJsonObject(bytes, size);
    if (logText || mayBeJson) {
        const void *firstZero = std::memchr(bytes, 0, size_t(size));
        const qsizetype textSize = firstZero ? static_cast<const uchar *>(firstZero) - bytes : size;
        const QString text = QString::fromUtf8(data, int(textSize));
        if (logText)
            qCDebug(lcNet).noquote() << text;
        if (mayBeJson) {
            const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
            if (document.isObject()) {
                const QJsonObject object = document.object();
                if (object.contains(QLatin1String("appCommand")))
                    handler.applicationCommand(object);
                return size;
            }
        }
    }

    // The scan keeps only its position between steps (what is left is the size less the position), so a part
    // ends after any step and the next part starts there.
    int delivered = 0;
    qsizetype pos = from;
    if (isDiscoveryPingText(bytes, size)) {
        // A ping's text skips seven bytes at every step of the scan; this rare path keeps that rule literally.
        while (pos < size) {
            pos += Protocol::discoveryWordSize;
            pos += scanAt(bytes, size, pos, handler, delivered);
            if (delivered >= maxFrames)
                return std::min(pos, size);
        }
        return size;
    }

    // Stray bytes advance the scan one at a time, so jumping straight to the next start marker gives the same
    // frames. Frames usually follow each other directly; the search only runs when they do not.
    static const StartMarkerSearch findStartMarker = availableStartMarkerSearches().back().second;
    while (pos < size) {
        if (!hasMarkerAt(bytes, size, pos, startMarker)) {
            pos = findStartMarker(bytes, size, pos);
            if (pos >= size)
                return size;
        }
        pos += scanAt(bytes, size, pos, handler, delivered);
        if (delivered >= maxFrames)
            return pos;
    }
    return size;
}
