#include "settingsregistrycheck.h"

#include <QStringList>
#include <QtEndian>

#include "settingsfilecheck.h"
#include "settingsidentity.h"

#ifdef Q_OS_WIN
#include <qt_windows.h>

#include <vector>
#endif

namespace {

// Text of `units` UTF-16 code units of `data` from code unit `from`, little-endian as the registry stores it.
QString utf16Text(const QByteArray &data, int from, int units) {
    QString text(units, Qt::Uninitialized);
    for (int i = 0; i < units; ++i)
        text[i] = QChar(qFromLittleEndian<quint16>(data.constData() + 2 * (from + i)));
    return text;
}

// The length in code units of the zero-terminated text at code unit `from`, or -1 when no zero ends it
// within the data.
int terminatedLength(const QByteArray &data, int from) {
    const int units = data.size() / 2;
    for (int i = from; i < units; ++i) {
        if (qFromLittleEndian<quint16>(data.constData() + 2 * i) == 0)
            return i - from;
    }
    return -1;
}

}  // namespace

namespace SettingsRegistryCheck {

bool readsSafely(quint32 type, const QByteArray &data) {
    switch (type) {
        case String:
        case ExpandString: {
            // Qt reads up to the first zero, however far that is.
            if (data.isEmpty())
                return true;
            const int length = terminatedLength(data, 0);
            return length >= 0 && SettingsFileCheck::readsSafely(utf16Text(data, 0, length));
        }
        case MultiString: {
            // Qt reads texts up to the first empty one; each is then read as a text value.
            if (data.isEmpty())
                return true;
            for (int from = 0;;) {
                const int length = terminatedLength(data, from);
                if (length < 0)
                    return false;
                if (length == 0)
                    return true;
                if (!SettingsFileCheck::readsSafely(utf16Text(data, from, length)))
                    return false;
                from += length + 1;
            }
        }
        case None:
        case Binary: return SettingsFileCheck::readsSafely(utf16Text(data, 0, data.size() / 2));
        case DWord:
        case DWordBigEndian: return data.size() == 4;
        case QWord: return data.size() == 8;
        default: return true;  // read as an empty value
    }
}

#ifdef Q_OS_WIN

namespace {

struct Unreadable {
    QString subkey;  // under the store's key, '\\'-separated
    QString name;
};

const wchar_t *wide(const QString &text) {
    return reinterpret_cast<const wchar_t *>(text.utf16());
}

// Collects the unreadable values of `key` and, depth first, of its subkeys.
void collect(HKEY key, const QString &subkey, QVector<Unreadable> &found) {
    DWORD subkeys = 0, maxSubkeyLength = 0, values = 0, maxNameLength = 0, maxDataSize = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &maxSubkeyLength, nullptr, &values, &maxNameLength,
                         &maxDataSize, nullptr, nullptr) != ERROR_SUCCESS)
        return;
    std::vector<wchar_t> name(std::max(maxNameLength, maxSubkeyLength) + 1);
    QByteArray data(int(maxDataSize), Qt::Uninitialized);
    for (DWORD i = 0; i < values; ++i) {
        DWORD nameLength = DWORD(name.size());
        DWORD type = 0;
        DWORD size = DWORD(data.size());
        if (RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, reinterpret_cast<BYTE *>(data.data()),
                          &size) != ERROR_SUCCESS)
            continue;
        if (!readsSafely(type, QByteArray::fromRawData(data.constData(), int(size))))
            found.append({subkey, QString::fromWCharArray(name.data(), int(nameLength))});
    }
    for (DWORD i = 0; i < subkeys; ++i) {
        DWORD nameLength = DWORD(name.size());
        if (RegEnumKeyExW(key, i, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            continue;
        const QString child = QString::fromWCharArray(name.data(), int(nameLength));
        HKEY childKey = nullptr;
        if (RegOpenKeyExW(key, wide(child), 0, KEY_READ, &childKey) != ERROR_SUCCESS)
            continue;
        collect(childKey, subkey.isEmpty() ? child : subkey + QLatin1Char('\\') + child, found);
        RegCloseKey(childKey);
    }
}

}  // namespace

void removeUnreadableValues() {
    const QString path = QStringLiteral("Software\\") + SettingsIdentity::organization() + QLatin1Char('\\') +
                         SettingsIdentity::application();
    HKEY store = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, wide(path), 0, KEY_READ | KEY_SET_VALUE, &store) != ERROR_SUCCESS)
        return;
    QVector<Unreadable> unreadable;
    collect(store, QString(), unreadable);
    if (unreadable.isEmpty()) {
        RegCloseKey(store);
        return;
    }

    const QString shownPath = QStringLiteral("\\HKEY_CURRENT_USER\\") + path;
    const QString keptPath = path + QStringLiteral(".damaged");
    RegDeleteTreeW(HKEY_CURRENT_USER, wide(keptPath));
    HKEY kept = nullptr;
    const bool copied = RegCreateKeyExW(HKEY_CURRENT_USER, wide(keptPath), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                        &kept, nullptr) == ERROR_SUCCESS &&
                        RegCopyTreeW(store, nullptr, kept) == ERROR_SUCCESS;
    if (kept)
        RegCloseKey(kept);
    if (!copied) {
        RegCloseKey(store);
        qCWarning(lcSettings, "Settings: cannot keep a copy of %s as %s.damaged; its unreadable values stay in it",
                  qUtf8Printable(shownPath), qUtf8Printable(shownPath));
        return;
    }
    QStringList keys;
    for (const Unreadable &value : unreadable) {
        HKEY key = nullptr;
        const bool removed = RegOpenKeyExW(store, wide(value.subkey), 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS &&
                             RegDeleteValueW(key, wide(value.name)) == ERROR_SUCCESS;
        if (key)
            RegCloseKey(key);
        if (!removed) {
            qCWarning(lcSettings, "Settings: cannot remove the unreadable value \"%s\" from %s",
                      qUtf8Printable(value.name), qUtf8Printable(shownPath));
            continue;
        }
        QString group = value.subkey;
        group.replace(QLatin1Char('\\'), QLatin1Char('/'));
        keys << (group.isEmpty() ? value.name : group + QLatin1Char('/') + value.name);
    }
    RegCloseKey(store);
    if (!keys.isEmpty())
        SettingsFileCheck::warnRemoved(keys, shownPath, shownPath + QStringLiteral(".damaged"));
}

#else

void removeUnreadableValues() {}

#endif

}  // namespace SettingsRegistryCheck
