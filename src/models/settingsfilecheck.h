#pragma once

#include <QByteArray>
#include <QLoggingCategory>
#include <QString>
#include <QVector>

Q_DECLARE_LOGGING_CATEGORY(lcSettings)

// Qt reads a value written as "@Variant(...)" or "@DateTime(...)" in an INI settings file by deserializing
// it, and a damaged or hand-made value can make that allocate gigabytes on a count it holds, recurse until
// the stack runs out, or load a type by name; the first ends in an uncaught std::bad_alloc. This check finds
// such values before anything reads the store. Serialized values pass only when they hold the types that
// JSON values and the registry's entries become (numbers, booleans, null, text, lists and maps), nested at
// most 32 deep, with every list's count backed by the bytes that follow it. Other types are not let through
// even where Qt reads them safely: the console never writes them, and some would convert to an RPM or an
// identifier by surprise (a character as its code point).
namespace SettingsFileCheck {

// A line of the file whose value Qt cannot read safely: its bytes, and its group and key as written.
struct UnreadableValue {
    int start = 0;
    int length = 0;
    QString key;
};

// Whether Qt reads a stored text safely: only "@Variant(...)" and "@DateTime(...)" are deserialized.
bool readsSafely(const QString &value);

// Finds the lines by the rules Qt's INI reader applies: continued lines, quotes, comments, escapes, lists,
// and a byte order mark that makes the values UTF-8.
QVector<UnreadableValue> unreadableValues(const QByteArray &file);

// Removes those lines from the per-user store's file before any handle reads it, keeps the file as it was
// beside it with the suffix ".damaged", and logs one warning that names the values removed. On Windows the
// store is a registry key, which SettingsRegistryCheck checks the same way.
void removeUnreadableValues();

// The warning for `keys` removed from the store at `store`, kept as it was at `keptAs`.
void warnRemoved(const QStringList &keys, const QString &store, const QString &keptAs);

}  // namespace SettingsFileCheck
