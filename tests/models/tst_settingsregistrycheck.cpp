#include <qt_windows.h>

#include <QtTest>

#include "categorylog.h"
#include "isolatedsettings.h"
#include "models/applicationsettingsmodel.h"
#include "models/settingsfilecheck.h"
#include "models/settingsregistrycheck.h"
#include "models/transpondersmodel.h"

using namespace SettingsRegistryCheck;

// The start-up check of the settings store on Windows, on the real registry (an isolated key), followed by
// the models that read it: a value that Qt would read unsafely must be gone before they start (a miss reads
// past a buffer or aborts this test), the key as it was is kept, and everything else stays.
namespace {

// Text as the registry stores it: UTF-16, little-endian; `terminated` adds the zero that ends a string.
QByteArray utf16(const QString &text, bool terminated = false) {
    QByteArray bytes(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
    return terminated ? bytes + QByteArray(2, '\0') : bytes;
}

// "@Variant(<payload>)" with one code unit per byte of the payload, as Qt writes it (REG_BINARY).
QByteArray variantValue(const QByteArray &payload) {
    return utf16(QStringLiteral("@Variant(") + QString::fromLatin1(payload.constData(), payload.size()) +
                 QLatin1Char(')'));
}

// A list type (9) and a count of 2^30 items with nothing behind them; reserving them takes 8 GiB.
const QByteArray claimedList = QByteArray::fromHex("00000009 40000000");

QString storeKey() {
    return QStringLiteral("Software\\") + SettingsIdentity::organization() + QStringLiteral("\\zadar");
}

struct RawValue {
    DWORD type = REG_NONE;
    QByteArray data;
    bool operator==(const RawValue &other) const { return type == other.type && data == other.data; }
};

bool writeRaw(const QString &key, const QString &name, const RawValue &value) {
    HKEY handle = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, reinterpret_cast<const wchar_t *>(key.utf16()), 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &handle, nullptr) != ERROR_SUCCESS)
        return false;
    const bool written = RegSetValueExW(handle, reinterpret_cast<const wchar_t *>(name.utf16()), 0, value.type,
                                        reinterpret_cast<const BYTE *>(value.data.constData()),
                                        DWORD(value.data.size())) == ERROR_SUCCESS;
    RegCloseKey(handle);
    return written;
}

// The value as stored, or a type of REG_NONE with no data when there is none.
RawValue readRaw(const QString &key, const QString &name) {
    RawValue value;
    QByteArray data(4096, Qt::Uninitialized);
    DWORD size = DWORD(data.size());
    if (RegGetValueW(HKEY_CURRENT_USER, reinterpret_cast<const wchar_t *>(key.utf16()),
                     reinterpret_cast<const wchar_t *>(name.utf16()), RRF_RT_ANY | RRF_NOEXPAND, &value.type,
                     data.data(), &size) == ERROR_SUCCESS)
        value.data = data.left(int(size));
    return value;
}

}  // namespace

class SettingsRegistryCheckTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { m_settingsLog = std::make_unique<CategoryLog>("zadar.settings"); }
    void init() {
        m_store = std::make_unique<IsolatedSettings>();
        m_settingsLog->take();
    }
    void cleanup() { m_store.reset(); }

    void unreadableValuesAreRemovedAndTheRestIsKept_data();
    void unreadableValuesAreRemovedAndTheRestIsKept();
    void whatTheConsoleWritesIsLeftAlone();
    void stringsWithoutTheirZeroAreUnreadable();

private:
    std::unique_ptr<IsolatedSettings> m_store;
    std::unique_ptr<CategoryLog> m_settingsLog;
};

void SettingsRegistryCheckTest::unreadableValuesAreRemovedAndTheRestIsKept_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("data");  // of rpmSettings\p25RpmValue

    QTest::newRow("binary: list claiming 2^30 items") << int(REG_BINARY) << variantValue(claimedList);
    QTest::newRow("binary: the list inside a map")
        << int(REG_BINARY) << variantValue(QByteArray::fromHex("00000008 00000001 00000002 006b") + claimedList);
    QTest::newRow("binary: a type loaded by name")
        << int(REG_BINARY) << variantValue(QByteArray::fromHex("0000007f 0000000d") + "QJsonDocument");
    QTest::newRow("string list: a type Qt does not know, second")
        << int(REG_MULTI_SZ)
        << utf16(QStringLiteral("2300"), true) + utf16(QStringLiteral("@Variant(AAAA)"), true) + QByteArray(2, '\0');
    QTest::newRow("string list without its closing empty string")
        << int(REG_MULTI_SZ) << utf16(QStringLiteral("2300"), true);
    QTest::newRow("number of 2 bytes") << int(REG_DWORD) << QByteArray::fromHex("c409");
    QTest::newRow("64-bit number of 4 bytes") << int(REG_QWORD) << QByteArray::fromHex("c4090000");
}

void SettingsRegistryCheckTest::unreadableValuesAreRemovedAndTheRestIsKept() {
    QFETCH(int, type);
    QFETCH(QByteArray, data);
    const RawValue damaged{DWORD(type), data};
    const RawValue p50{REG_SZ, utf16(QStringLiteral("2800"), true)};
    {
        // Written by the console: a registry entry, and the value beside the damaged one.
        TranspondersModel registry;
        registry.addNewItem();
        registry.updateData(0, {{"kartNum", "7"}, {"transponderId", 1003}});
    }
    QVERIFY(writeRaw(storeKey() + "\\rpmSettings", "p50RpmValue", p50));
    QVERIFY(writeRaw(storeKey() + "\\rpmSettings", "p25RpmValue", damaged));
    // A second, deeper copy of the damage, under the registry's group.
    QVERIFY(writeRaw(storeKey() + "\\transponders", "tr1", damaged));
    const RawValue entry = readRaw(storeKey() + "\\transponders", "tr0");
    QCOMPARE(entry.type, DWORD(REG_BINARY));

    SettingsFileCheck::removeUnreadableValues();

    const QStringList settingsLog = m_settingsLog->take();
    QCOMPARE(settingsLog.size(), 1);
    QVERIFY2(settingsLog.first().contains("2 values") && settingsLog.first().contains("\"rpmSettings/p25RpmValue\"") &&
                 settingsLog.first().contains("\"transponders/tr1\"") &&
                 settingsLog.first().contains("\\HKEY_CURRENT_USER\\" + storeKey() + ".damaged"),
             qPrintable(settingsLog.first()));
    QCOMPARE(readRaw(storeKey() + ".damaged\\rpmSettings", "p25RpmValue"), damaged);
    QCOMPARE(readRaw(storeKey() + ".damaged\\transponders", "tr1"), damaged);
    QCOMPARE(readRaw(storeKey() + "\\rpmSettings", "p50RpmValue"), p50);
    QCOMPARE(readRaw(storeKey() + "\\transponders", "tr0"), entry);

    const ApplicationSettingsModel settings;
    QCOMPARE(settings.rpmSettings(), (QJsonObject{{"p25RpmValue", 2300}, {"p50RpmValue", 2800}}));
    const TranspondersModel registry;
    QCOMPARE(registry.getKartNumByTransponderId(1003), QString("7"));
    QCOMPARE(IsolatedSettings::open()->allKeys(), (QStringList{"rpmSettings/p50RpmValue", "transponders/tr0"}));
}

// Text that looks like serialized data, nested JSON values, numbers and the registry: written by the console
// (as strings, string lists, numbers and binary text), read back the same, and nothing is taken for unreadable.
void SettingsRegistryCheckTest::whatTheConsoleWritesIsLeftAlone() {
    const QJsonObject nested{{"list", QJsonArray{1, "two", QJsonValue::Null, QJsonObject{{"x", true}}}},
                             {"empty", QJsonObject()},
                             {"text", "@Variant(\\0\\0\\0\\t\\x40\\0\\0\\0)"}};
    {
        ApplicationSettingsModel settings;
        settings.updateSettings("rpmSettings", {{"p25RpmValue", "2600"}, {"p50RpmValue", 3100}});
        settings.updateSettings("other", nested);
        TranspondersModel registry;
        registry.addNewItem();
        registry.updateData(0, {{"kartNum", "@Variant(x)"}, {"transponderId", "1003"}});
    }
    const auto store = IsolatedSettings::open();
    store->setValue("other/names", QStringList{"a", "b"});
    store->setValue("other/big", qint64(1) << 40);
    store->sync();
    const QStringList keys = store->allKeys();

    SettingsFileCheck::removeUnreadableValues();

    QCOMPARE(m_settingsLog->take(), QStringList());
    QCOMPARE(readRaw(storeKey() + ".damaged\\rpmSettings", "p50RpmValue").data, QByteArray());
    QCOMPARE(IsolatedSettings::open()->allKeys(), keys);
    QCOMPARE(TranspondersModel().getKartNumByTransponderId(1003), QString("@Variant(x)"));
    QCOMPARE(ApplicationSettingsModel().rpmSettings(), (QJsonObject{{"p25RpmValue", 2600}, {"p50RpmValue", 3100}}));
    QCOMPARE(IsolatedSettings::open()->value("other/text").toString(), nested["text"].toString());
}

// Wine's registry adds the zero that ends a string as it stores one, so these cannot be written there; on
// Windows, a program that writes a string without its zero stores it so.
void SettingsRegistryCheckTest::stringsWithoutTheirZeroAreUnreadable() {
    for (const quint32 type : {String, ExpandString}) {
        QVERIFY(!readsSafely(type, utf16(QStringLiteral("2500"))));
        QVERIFY(!readsSafely(type, utf16(QStringLiteral("2500")) + '\0'));
        QVERIFY(readsSafely(type, utf16(QStringLiteral("2500"), true)));
        QVERIFY(!readsSafely(type, utf16(QStringLiteral("@Variant(AAAA)"), true)));
    }
}

QTEST_GUILESS_MAIN(SettingsRegistryCheckTest)
#include "tst_settingsregistrycheck.moc"
