#include <QtTest>

#include "app/wiring.h"
#include "isolatedsettings.h"
#include "models/applicationsettingsmodel.h"
#include "models/limitmodes.h"
#include "models/transponderslistmodel.h"

// The RPM settings on a real settings store in a temporary directory; a "restart" is a second object
// opened on the same store after the first one is gone.
class ApplicationSettingsModelTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void freshStoreGivesDefaultsAndWritesNothing();
    void oneKeyUpdate();
    void integerTextIsStoredAsText();
    void textWithoutAnIntegerFallsBackToTheDefault_data();
    void textWithoutAnIntegerFallsBackToTheDefault();
    void storedValuesThatAreNotIntegersLoadAsDefaults_data();
    void storedValuesThatAreNotIntegersLoadAsDefaults();
    void otherGroupsAreWrittenButNotUsed();
    void emptyUpdateStillNotifies();

private:
    void start();
    void restart();
    int tableRpm(const char *mode) const { return rpmByLimitMode.value(QString::fromLatin1(mode)); }

    std::unique_ptr<IsolatedSettings> m_store;
    std::unique_ptr<ApplicationSettingsModel> m_settings;
    std::unique_ptr<TranspondersListModel> m_liveList;
};

void ApplicationSettingsModelTest::init() {
    m_store = std::make_unique<IsolatedSettings>();
    start();
}

void ApplicationSettingsModelTest::cleanup() {
    m_liveList.reset();
    m_settings.reset();
    m_store.reset();
}

// As at program start: the live list is wired to the store and takes its values once.
void ApplicationSettingsModelTest::start() {
    m_settings = std::make_unique<ApplicationSettingsModel>();
    m_liveList = std::make_unique<TranspondersListModel>();
    connectSettingsToLiveList(*m_settings, *m_liveList);
    m_liveList->loadRpmSettings(m_settings->rpmSettings());
}

void ApplicationSettingsModelTest::restart() {
    m_liveList.reset();
    m_settings.reset();
    start();
}

void ApplicationSettingsModelTest::freshStoreGivesDefaultsAndWritesNothing() {
    QCOMPARE(m_settings->rpmSettings(), (QJsonObject{{"p25RpmValue", 2300}, {"p50RpmValue", 3000}}));
    QCOMPARE(m_settings->property("rpmSettings").toJsonObject(), m_settings->rpmSettings());
    QCOMPARE(tableRpm("p25"), 2300);
    QCOMPARE(tableRpm("p50"), 3000);
    restart();
    QCOMPARE(IsolatedSettings::open()->allKeys(), QStringList());
}

void ApplicationSettingsModelTest::oneKeyUpdate() {
    QSignalSpy updated(m_settings.get(), &ApplicationSettingsModel::settingsUpdated);
    m_settings->updateSettings("rpmSettings", {{"p25RpmValue", 2600}});
    QCOMPARE(updated.size(), 1);
    QCOMPARE(updated.at(0).at(0).toString(), QString("rpmSettings"));
    QCOMPARE(updated.at(0).at(1).toJsonObject(), (QJsonObject{{"p25RpmValue", 2600}}));
    QCOMPARE(m_settings->rpmSettings(), (QJsonObject{{"p25RpmValue", 2600}, {"p50RpmValue", 3000}}));
    QCOMPARE(tableRpm("p25"), 2600);  // the live list learns it before updateSettings returns

    const auto store = IsolatedSettings::open();
    QCOMPARE(store->value("rpmSettings/p25RpmValue").toInt(), 2600);
    QVERIFY(!store->contains("rpmSettings/p50RpmValue"));
    restart();
    QCOMPARE(m_settings->rpmSettings(), (QJsonObject{{"p25RpmValue", 2600}, {"p50RpmValue", 3000}}));
    QCOMPARE(tableRpm("p25"), 2600);
}

void ApplicationSettingsModelTest::integerTextIsStoredAsText() {
    m_settings->updateSettings("rpmSettings", {{"p25RpmValue", "2500"}, {"p50RpmValue", "5000"}});
    QCOMPARE(m_settings->rpmSettings(), (QJsonObject{{"p25RpmValue", "2500"}, {"p50RpmValue", "5000"}}));
    QCOMPARE(tableRpm("p25"), 2500);
    QCOMPARE(tableRpm("p50"), 5000);
    restart();
    QCOMPARE(m_settings->rpmSettings(), (QJsonObject{{"p25RpmValue", 2500}, {"p50RpmValue", 5000}}));
    QCOMPARE(tableRpm("p50"), 5000);
}

void ApplicationSettingsModelTest::textWithoutAnIntegerFallsBackToTheDefault_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("word") << "fast";
    QTest::newRow("empty") << "";
    QTest::newRow("decimal fraction") << "2500.5";
}

// Turning "25%" into an engine stop after a restart would be a fault: the default holds at once and later.
void ApplicationSettingsModelTest::textWithoutAnIntegerFallsBackToTheDefault() {
    QFETCH(QString, text);
    m_settings->updateSettings("rpmSettings", {{"p25RpmValue", text}, {"p50RpmValue", text}});
    QCOMPARE(tableRpm("p25"), 2300);
    QCOMPARE(tableRpm("p50"), 3000);
    restart();
    QCOMPARE(m_settings->rpmSettings(), (QJsonObject{{"p25RpmValue", 2300}, {"p50RpmValue", 3000}}));
    QCOMPARE(tableRpm("p25"), 2300);
    QCOMPARE(tableRpm("p50"), 3000);
}

void ApplicationSettingsModelTest::storedValuesThatAreNotIntegersLoadAsDefaults_data() {
    QTest::addColumn<QVariant>("p25");
    QTest::addColumn<int>("expected");
    QTest::newRow("number") << QVariant(2450.0) << 2450;
    QTest::newRow("integer text") << QVariant("2450") << 2450;
    QTest::newRow("word") << QVariant("abc") << 2300;
    QTest::newRow("list") << QVariant(QStringList{"1", "2"}) << 2300;
    QTest::newRow("map") << QVariant(QVariantMap{{"a", 1}}) << 2300;
    QTest::newRow("huge number") << QVariant(1e30) << 2300;
}

void ApplicationSettingsModelTest::storedValuesThatAreNotIntegersLoadAsDefaults() {
    QFETCH(QVariant, p25);
    QFETCH(int, expected);
    m_liveList.reset();
    m_settings.reset();
    IsolatedSettings::open()->setValue("rpmSettings/p25RpmValue", p25);
    start();
    QCOMPARE(m_settings->rpmSettings().value("p25RpmValue").toInt(), expected);
    QCOMPARE(tableRpm("p25"), expected);
}

void ApplicationSettingsModelTest::otherGroupsAreWrittenButNotUsed() {
    QSignalSpy updated(m_settings.get(), &ApplicationSettingsModel::settingsUpdated);
    QSignalSpy limits(m_liveList.get(), &TranspondersListModel::rpmLimitsChanged);
    m_settings->updateSettings("display", {{"p25RpmValue", 1000}});
    QCOMPARE(updated.size(), 1);
    QCOMPARE(limits.size(), 0);
    QCOMPARE(m_settings->rpmSettings().value("p25RpmValue").toInt(), 2300);
    QCOMPARE(tableRpm("p25"), 2300);
    QCOMPARE(IsolatedSettings::open()->value("display/p25RpmValue").toInt(), 1000);
}

void ApplicationSettingsModelTest::emptyUpdateStillNotifies() {
    QSignalSpy updated(m_settings.get(), &ApplicationSettingsModel::settingsUpdated);
    QSignalSpy limits(m_liveList.get(), &TranspondersListModel::rpmLimitsChanged);
    m_settings->updateSettings("rpmSettings", {});
    QCOMPARE(updated.size(), 1);
    QCOMPARE(limits.size(), 1);
    QCOMPARE(IsolatedSettings::open()->allKeys(), QStringList());
}

QTEST_GUILESS_MAIN(ApplicationSettingsModelTest)
#include "tst_applicationsettingsmodel.moc"
