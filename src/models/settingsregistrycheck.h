#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// On Windows the per-user settings store is the registry key HKEY_CURRENT_USER\Software\<organization>\zadar.
// Qt turns each registry value into text by its type and deserializes "@Variant(...)" text as it does from an
// INI file (see SettingsFileCheck), and it trusts the sizes: a string without its terminating zero, or a
// number with fewer bytes than its type, is read past its end. This check finds such values from the raw
// registry data before anything reads the store.
namespace SettingsRegistryCheck {

// The registry's value types that Qt reads (winnt.h).
enum ValueType : quint32 {
    None = 0,
    String = 1,          // REG_SZ
    ExpandString = 2,    // REG_EXPAND_SZ
    Binary = 3,          // REG_BINARY, UTF-16 text that may hold zeros
    DWord = 4,           // REG_DWORD
    DWordBigEndian = 5,  // REG_DWORD_BIG_ENDIAN
    MultiString = 7,     // REG_MULTI_SZ
    QWord = 11,          // REG_QWORD
};

// Whether Qt reads a registry value of `type` holding `data` (the raw bytes) safely.
bool readsSafely(quint32 type, const QByteArray &data);

// Removes the values that Qt cannot read safely from the store's key and its subkeys before any handle reads
// them, keeps the key as it was beside it as "zadar.damaged", and logs one warning that names the values
// removed. Does nothing but on Windows.
void removeUnreadableValues();

}  // namespace SettingsRegistryCheck
