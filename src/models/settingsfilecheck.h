#pragma once

#include <QByteArray>
#include <QLoggingCategory>
#include <QString>
#include <QVector>

Q_DECLARE_LOGGING_CATEGORY(lcSettings)

// Finds the settings values whose deserialization by Qt could abort the console (a count of gigabytes, nesting
// deep enough to exhaust the stack, a type loaded by name) before anything reads the store. Only the types that JSON
// values and the registry's entries become pass. docs/reliability.md tells the story.
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
