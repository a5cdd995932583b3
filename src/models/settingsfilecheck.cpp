#include "settingsfilecheck.h"

#include <QDataStream>
#include <QFile>
#include <QSaveFile>
#include <QSettings>
#include <QStringList>
#include <QTextCodec>
#include <QtEndian>
#include <algorithm>

#include "settingsidentity.h"
#include "settingsregistrycheck.h"

Q_LOGGING_CATEGORY(lcSettings, "zadar.settings")

namespace {

// Follows QVariant::load() over serialized bytes read by QDataStream, consuming exactly what it would,
// without building anything. Reads past the end give zeros and fail the stream, as QDataStream's do.
class SerializedVariantCheck {
public:
    SerializedVariantCheck(const QByteArray &data, QDataStream::Version version) : m_data(data), m_version(version) {}

    bool safe() { return variant(0); }

private:
    static constexpr int maxNesting = 32;

    qsizetype remaining() const { return m_data.size() - m_pos; }

    void skip(qsizetype bytes) {
        if (bytes > remaining()) {
            m_pos = m_data.size();
            m_failed = true;
        } else {
            m_pos += bytes;
        }
    }

    quint32 count() {
        if (remaining() < 4) {
            skip(4);
            return 0;
        }
        const quint32 value = qFromBigEndian<quint32>(m_data.constData() + m_pos);
        m_pos += 4;
        return value;
    }

    // Text is read in blocks of at most 1 MiB as far as the data goes, so any length is safe.
    void text() {
        const quint32 bytes = count();
        if (bytes == 0xffffffff)
            return;
        if (bytes & 1) {
            m_failed = true;
            return;
        }
        skip(bytes);
    }

    // A container reads its count and items with the stream's failure put aside, stops after the first item
    // that fails, and puts the earlier failure back. A list reserves room for its whole count first, so the
    // count must be backed by the bytes left (every item takes at least 4).
    template <typename ReadItem>
    bool container(ReadItem readItem, bool reservesRoom = true) {
        const bool failedBefore = m_failed;
        m_failed = false;
        const quint32 items = count();
        if (reservesRoom && items > quint64(remaining()) / 4)
            return false;
        for (quint32 i = 0; i < items; ++i) {
            if (!readItem())
                return false;
            if (m_failed)
                break;
        }
        m_failed = m_failed || failedBefore;
        return true;
    }

    bool variant(int depth) {
        if (depth > maxNesting)
            return false;
        quint32 type = count();
        if (m_version < QDataStream::Qt_5_0 && type >= 128)
            type -= 97;  // Qt 4 numbered the types after its GUI types from 128
        if (m_version >= QDataStream::Qt_4_2)
            skip(1);  // the null flag
        switch (type) {
            case QMetaType::UnknownType:
                if (m_version < QDataStream::Qt_5_0)
                    text();  // Qt 4 streams carry an empty string for it
                return true;
            case QMetaType::Nullptr: return true;
            case QMetaType::Bool: skip(1); return true;
            case QMetaType::Int: skip(4); return true;
            case QMetaType::LongLong:
            case QMetaType::Double: skip(8); return true;
            case QMetaType::QString: text(); return true;
            case QMetaType::QVariantList: return container([this, depth] { return variant(depth + 1); });
            case QMetaType::QVariantMap: {
                // A map inserts as it reads, so its count needs no backing; a key that fails still has its
                // value read after it.
                return container(
                    [this, depth] {
                        text();
                        return variant(depth + 1);
                    },
                    false);
            }
            default: return false;
        }
    }

    const QByteArray &m_data;
    const QDataStream::Version m_version;
    qsizetype m_pos = 0;
    bool m_failed = false;
};

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

struct IniLine {
    int start = 0;
    int length = 0;
    int equalsPos = -1;
};

// The next logical line from pos, as Qt's INI reader splits them: leading white space is skipped, a
// backslash joins the next line, quotes may span lines, and ';' ends the line (at its start, a comment).
bool readIniLine(const QByteArray &data, int &pos, IniLine &line) {
    const int size = data.size();
    bool inQuotes = false;
    line.equalsPos = -1;
    line.start = pos;
    while (line.start < size && isSpace(data.at(line.start)))
        ++line.start;

    int i = line.start;
    while (i < size) {
        const char c = data.at(i++);
        if (c == '=') {
            if (!inQuotes && line.equalsPos == -1)
                line.equalsPos = i - 1;
        } else if (c == '\n' || c == '\r') {
            if (i == line.start + 1) {
                ++line.start;
            } else if (!inQuotes) {
                --i;
                break;
            }
        } else if (c == '\\') {
            if (i < size) {
                const char next = data.at(i++);
                if (i < size) {
                    const char after = data.at(i);
                    if ((next == '\n' && after == '\r') || (next == '\r' && after == '\n'))
                        ++i;
                }
            }
        } else if (c == '"') {
            inQuotes = !inQuotes;
        } else if (c == ';') {
            if (i == line.start + 1) {
                while (i < size && data.at(i) != '\n' && data.at(i) != '\r')
                    ++i;
                while (i < size && isSpace(data.at(i)))
                    ++i;
                line.start = i;
            } else if (!inQuotes) {
                --i;
                break;
            }
        }
    }
    pos = i;
    line.length = i - line.start;
    return line.length > 0;
}

int hexDigit(char c) {
    if (c >= 'a')
        c -= 'a' - 'A';
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void chopTrailingSpaces(QString &text, int limit) {
    int n = text.size();
    while (n > limit && (text.at(n - 1) == QLatin1Char(' ') || text.at(n - 1) == QLatin1Char('\t')))
        --n;
    text.truncate(n);
}

// The strings that Qt's INI reader makes of the value bytes [from, to): one, or the items of a list when a
// comma stands outside quotes. Escapes are C's, plus \x and octal of any length folded into 16 bits.
QStringList unescapedValue(const QByteArray &data, int from, int to, QTextCodec *codec) {
    static const char escapes[][2] = {{'a', '\a'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'},  {'r', '\r'}, {'t', '\t'},
                                      {'v', '\v'}, {'"', '"'},  {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
    QStringList items;
    QString current;
    bool inQuotes = false;
    bool currentIsQuoted = false;
    bool chopAtEnd = true;  // an escape cut off by the end of the line keeps trailing spaces
    int i = from;
    int chopLimit = 0;
    const auto skipSpaces = [&] {
        while (i < to && (data.at(i) == ' ' || data.at(i) == '\t'))
            ++i;
        chopLimit = current.size();
    };

    skipSpaces();
    while (i < to) {
        const char c = data.at(i);
        if (c == '\\') {
            if (++i >= to) {
                chopAtEnd = false;
                break;
            }
            const char escaped = data.at(i++);
            const auto simple = std::find_if(std::begin(escapes), std::end(escapes),
                                             [escaped](const char *pair) { return pair[0] == escaped; });
            if (simple != std::end(escapes)) {
                current += QLatin1Char((*simple)[1]);
            } else if (escaped == 'x' || (escaped >= '0' && escaped <= '7')) {
                const bool hex = escaped == 'x';
                if (hex && i >= to) {
                    chopAtEnd = false;
                    break;
                }
                if (hex && hexDigit(data.at(i)) < 0) {
                    chopLimit = current.size();
                    continue;
                }
                char16_t value = hex ? 0 : char16_t(escaped - '0');
                for (; i < to; ++i) {
                    const int digit = hex ? hexDigit(data.at(i)) : data.at(i) - '0';
                    if (digit < 0 || digit >= (hex ? 16 : 8))
                        break;
                    value = char16_t((value << (hex ? 4 : 3)) + digit);
                }
                current += QChar(value);
                if (i >= to) {
                    chopAtEnd = false;
                    break;
                }
            } else if (escaped == '\n' || escaped == '\r') {
                if (i < to && (data.at(i) == '\n' || data.at(i) == '\r') && data.at(i) != escaped)
                    ++i;
            }
            chopLimit = current.size();
        } else if (c == '"') {
            ++i;
            currentIsQuoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes)
                skipSpaces();
        } else if (c == ',' && !inQuotes) {
            if (!currentIsQuoted)
                chopTrailingSpaces(current, chopLimit);
            items.append(current);
            current.clear();
            currentIsQuoted = false;
            ++i;
            skipSpaces();
        } else {
            int end = i + 1;
            while (end < to && data.at(end) != '\\' && data.at(end) != '"' && data.at(end) != ',')
                ++end;
            current += codec ? codec->toUnicode(data.constData() + i, end - i)
                             : QString::fromLatin1(data.constData() + i, end - i);
            i = end;
        }
    }
    if (chopAtEnd && !currentIsQuoted)
        chopTrailingSpaces(current, chopLimit);
    items.append(current);
    return items;
}

}  // namespace

namespace SettingsFileCheck {

bool readsSafely(const QString &value) {
    if (!value.endsWith(QLatin1Char(')')))
        return true;
    if (value.startsWith(QLatin1String("@Variant(")))
        return SerializedVariantCheck(value.midRef(9).toLatin1(), QDataStream::Qt_4_0).safe();
    if (value.startsWith(QLatin1String("@DateTime(")))
        return SerializedVariantCheck(value.midRef(10).toLatin1(), QDataStream::Qt_5_6).safe();
    return true;
}

QVector<UnreadableValue> unreadableValues(const QByteArray &file) {
    // A byte order mark makes the handle that reads the file decode its values as UTF-8; another handle on
    // the same cached file decodes them as Latin-1. Either may be the one that parses a group.
    QVector<QTextCodec *> codecs{nullptr};
    int pos = 0;
    if (file.startsWith("\xef\xbb\xbf")) {
        codecs.append(QTextCodec::codecForName("UTF-8"));
        pos = 3;
    }
    QVector<UnreadableValue> found;
    QString group;
    IniLine line;
    while (readIniLine(file, pos, line)) {
        if (file.at(line.start) == '[') {
            const int close = file.indexOf(']', line.start);
            const int end = close >= 0 && close < line.start + line.length ? close : line.start + line.length;
            group = QString::fromLatin1(file.mid(line.start + 1, end - line.start - 1).trimmed());
            continue;
        }
        if (line.equalsPos < 0)
            continue;
        const bool safe = std::all_of(codecs.cbegin(), codecs.cend(), [&](QTextCodec *codec) {
            const QStringList items = unescapedValue(file, line.equalsPos + 1, line.start + line.length, codec);
            return std::all_of(items.cbegin(), items.cend(), readsSafely);
        });
        if (!safe) {
            const QString key = QString::fromLatin1(file.mid(line.start, line.equalsPos - line.start).trimmed());
            found.append({line.start, line.length, group.isEmpty() ? key : group + QLatin1Char('/') + key});
        }
    }
    return found;
}

void removeUnreadableValues() {
#ifdef Q_OS_WIN
    SettingsRegistryCheck::removeUnreadableValues();
    return;
#endif
    // Opening a handle only splits the file into groups; values are decoded when a group is first read.
    const QString path = QSettings(QSettings::NativeFormat, QSettings::UserScope, SettingsIdentity::organization(),
                                   SettingsIdentity::application())
                             .fileName();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray contents = file.readAll();
    file.close();
    const QVector<UnreadableValue> unreadable = unreadableValues(contents);
    if (unreadable.isEmpty())
        return;

    const QString keptPath = path + QStringLiteral(".damaged");
    QFile::remove(keptPath);
    if (!QFile::copy(path, keptPath)) {
        qCWarning(lcSettings, "Settings: cannot keep a copy of %s as %s; its unreadable values stay in it",
                  qUtf8Printable(path), qUtf8Printable(keptPath));
        return;
    }
    QByteArray repaired = contents;
    for (auto it = unreadable.crbegin(); it != unreadable.crend(); ++it)
        repaired.remove(it->start, it->length);
    QSaveFile save(path);
    if (!save.open(QIODevice::WriteOnly) || save.write(repaired) != repaired.size() || !save.commit()) {
        qCWarning(lcSettings, "Settings: cannot rewrite %s without its unreadable values: %s", qUtf8Printable(path),
                  qUtf8Printable(save.errorString()));
        return;
    }
    QStringList keys;
    for (const UnreadableValue &value : unreadable)
        keys << value.key;
    warnRemoved(keys, path, keptPath);
}

void warnRemoved(const QStringList &keys, const QString &store, const QString &keptAs) {
    // One line however many there are, naming the first few.
    constexpr int namedKeys = 5;
    QStringList named;
    for (int i = 0; i < std::min(namedKeys, int(keys.size())); ++i)
        named << QLatin1Char('"') + keys.at(i) + QLatin1Char('"');
    QString names = named.join(QStringLiteral(", "));
    if (keys.size() > namedKeys)
        names += QStringLiteral(" and %1 more").arg(keys.size() - namedKeys);
    qCWarning(lcSettings,
              "Settings: removed %d %s that cannot be read safely (%s) from %s; the store as "
              "it was is kept as %s",
              int(keys.size()), keys.size() == 1 ? "value" : "values", qUtf8Printable(names), qUtf8Printable(store),
              qUtf8Printable(keptAs));
}

}  // namespace SettingsFileCheck
