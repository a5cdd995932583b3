#include <QtTest>

#include "categorylog.h"
#include "isolatedsettings.h"
#include "models/applicationsettingsmodel.h"
#include "models/settingsfilecheck.h"
#include "models/transpondersmodel.h"

// The start-up check of the settings file, on real files in an isolated store, followed by the models that
// read it: a value that Qt would deserialize unsafely must leave the file before they start (a miss aborts
// this test), and everything else must stay as it was.
namespace {

// Every byte as a hex escape, which stops at the next backslash.
QByteArray escaped(const QByteArray &bytes) {
    QByteArray text;
    for (const char byte : bytes)
        text += "\\x" + QByteArray::number(uchar(byte), 16);
    return text;
}

QByteArray variantValue(const QByteArray &payload) {
    return "@Variant(" + escaped(payload) + ")";
}

// Serialized data as QSettings writes it after "@Variant(" (a Qt 4.0 stream, big-endian; hex, spaces
// skipped): a list type (9) and a count of 2^30 items with nothing behind them; reserving them takes 8 GiB.
const QByteArray claimedList = QByteArray::fromHex("00000009 40000000");

// A registry entry as the console writes it.
QByteArray registryEntry(const QString &kartNum, int transponderId) {
    QByteArray payload;
    QDataStream stream(&payload, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_4_0);
    stream << QVariant(QVariantMap{{"kartNum", kartNum}, {"transponderId", transponderId}});
    return variantValue(payload);
}

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

class SettingsFileCheckTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { m_settingsLog = std::make_unique<CategoryLog>("zadar.settings"); }
    void init();
    void cleanup() { m_store.reset(); }

    void unreadableValuesAreRemovedAndTheRestIsKept_data();
    void unreadableValuesAreRemovedAndTheRestIsKept();
    void whatTheConsoleWritesIsLeftAlone();
    void onlyTheConsolesOwnFileIsRead();

private:
    QString storePath() const { return IsolatedSettings::open()->fileName(); }
    void writeStore(const QString &path, const QByteArray &contents);

    std::unique_ptr<IsolatedSettings> m_store;
    std::unique_ptr<CategoryLog> m_settingsLog;
};

void SettingsFileCheckTest::init() {
    m_store = std::make_unique<IsolatedSettings>();
    m_settingsLog->take();
}

void SettingsFileCheckTest::writeStore(const QString &path, const QByteArray &contents) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(contents), contents.size());
}

void SettingsFileCheckTest::unreadableValuesAreRemovedAndTheRestIsKept_data() {
    QTest::addColumn<QByteArray>("value");  // the value of rpmSettings/p25RpmValue

    const QByteArray listPayload = escaped(claimedList);
    QTest::newRow("list claiming 2^30 items") << variantValue(claimedList);
    QTest::newRow("string list claiming 2^30 items") << variantValue(QByteArray::fromHex("0000000b 40000000"));
    QTest::newRow("a character, which would load as its code point")
        << variantValue(QByteArray::fromHex("00000007 a388"));
    QTest::newRow("the list inside a map")
        << variantValue(QByteArray::fromHex("00000008 00000001 00000002 006b") + claimedList);
    // A string's odd length fails it; the map still reads the value, and the list reads its items with that
    // failure put aside, so its second item is read.
    QTest::newRow("in a list after a map key that fails")
        << variantValue(QByteArray::fromHex("00000008 00000001 00000003 00000009 00000002 00000033") + claimedList);
    QTest::newRow("a date-time stream (Qt 5.6, with a null flag)")
        << "@DateTime(" + escaped(QByteArray::fromHex("00000009 00 40000000")) + ")";
    QTest::newRow("@ written as an escape") << "\\x40Variant(" + listPayload + ")";
    QTest::newRow("in quotes, continued on the next line") << "\"@Vari\\\nant(" + listPayload + ")\"";
    QTest::newRow("second item of a list") << "2300, " + variantValue(claimedList);
    QTest::newRow("a type loaded by name")
        << variantValue(QByteArray::fromHex("0000007f 0000000d") + QByteArray("QJsonDocument"));
    QTest::newRow("lists nested 40 deep") << variantValue(QByteArray::fromHex("00000009 00000001").repeated(40));
}

void SettingsFileCheckTest::unreadableValuesAreRemovedAndTheRestIsKept() {
    QFETCH(QByteArray, value);
    for (const bool byteOrderMark : {false, true}) {
        const QByteArray original = (byteOrderMark ? "\xef\xbb\xbf" : "") +
                                    QByteArray("; kept by hand\n[rpmSettings]\np25RpmValue = ") + value +
                                    "\r\np50RpmValue=2800\n\n[transponders]\ntr0=" + registryEntry("7", 1003) + "\n";
        writeStore(storePath(), original);
        m_settingsLog->take();

        SettingsFileCheck::removeUnreadableValues();

        QCOMPARE(readFile(storePath() + ".damaged"), original);
        const QStringList settingsLog = m_settingsLog->take();
        QCOMPARE(settingsLog.size(), 1);
        QVERIFY2(settingsLog.first().contains("\"rpmSettings/p25RpmValue\""), qPrintable(settingsLog.first()));
        QVERIFY(SettingsFileCheck::unreadableValues(readFile(storePath())).isEmpty());
        const ApplicationSettingsModel settings;
        QCOMPARE(settings.rpmSettings(), (QJsonObject{{"p25RpmValue", 2300}, {"p50RpmValue", 2800}}));
        const TranspondersModel registry;
        QCOMPARE(registry.getKartNumByTransponderId(1003), QString("7"));
        QCOMPARE(IsolatedSettings::open()->allKeys(), (QStringList{"rpmSettings/p50RpmValue", "transponders/tr0"}));
    }
}

// Text that looks like serialized data, empty and nested JSON values, and the registry: written by the
// console, read back the same, and no line of it is taken for unreadable.
void SettingsFileCheckTest::whatTheConsoleWritesIsLeftAlone() {
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
        registry.addNewItem();
        registry.updateData(1, {{"kartNum", "12, \"a\""}, {"transponderId", "1004"}});
    }
    const QByteArray written = readFile(storePath());

    SettingsFileCheck::removeUnreadableValues();

    QCOMPARE(readFile(storePath()), written);
    QVERIFY(!QFile::exists(storePath() + ".damaged"));
    QCOMPARE(m_settingsLog->take(), QStringList());
    const TranspondersModel registry;
    QCOMPARE(registry.getKartNumByTransponderId(1003), QString("@Variant(x)"));
    QCOMPARE(registry.getKartNumByTransponderId(1004), QString("12, \"a\""));
    QCOMPARE(IsolatedSettings::open()->value("other/text").toString(), nested["text"].toString());
}

// The organization's shared file is not checked, so it is not read either.
void SettingsFileCheckTest::onlyTheConsolesOwnFileIsRead() {
    const QString organizationFile = QFileInfo(storePath()).path() + ".conf";
    writeStore(organizationFile, "[rpmSettings]\np25RpmValue=" + variantValue(claimedList) +
                                     "\n[transponders]\ntr0=" + registryEntry("7", 1003) + "\n");
    SettingsFileCheck::removeUnreadableValues();
    const ApplicationSettingsModel settings;
    QCOMPARE(settings.rpmSettings()["p25RpmValue"], QJsonValue(2300));
    QCOMPARE(TranspondersModel().rowCount(), 0);
}

QTEST_GUILESS_MAIN(SettingsFileCheckTest)
#include "tst_settingsfilecheck.moc"
