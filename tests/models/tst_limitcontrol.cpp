#include <QAbstractItemModelTester>
#include <QtTest>

#include "listmodelsignallog.h"
#include "models/limitmodes.h"
#include "models/transponderslistmodel.h"

using Choice = std::function<void(TranspondersListModel &)>;
Q_DECLARE_METATYPE(Choice)

// The limit side of the live list: global and per-transponder modes, application commands, RPM settings.
class LimitControlTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void globalModeOutsideTheTableIsRefused_data();
    void globalModeOutsideTheTableIsRefused();
    void localGlobalModeCommandsRetranslatorAndConsoles();
    void remoteGlobalModeOnlyTellsTheScreen();
    void consoleReceivingItsOwnGlobalCommand();
    void everyGlobalLimitTakesOnePathWithItsSource_data();
    void everyGlobalLimitTakesOnePathWithItsSource();
    void rowWriteLimitsOneTransponder();
    void rowWritesThatAreRefused_data();
    void rowWritesThatAreRefused();
    void rowWriteOfTextOutsideTheTableKeepsTheTarget();
    void nextGlobalModeReplacesRowModes();
    void remoteRowCommand_data();
    void remoteRowCommand();
    void settingsUpdateTheTable_data();
    void settingsUpdateTheTable();
    void otherSettingsGroupsAreIgnored();
    void loadRpmSettingsAtStartUp_data();
    void loadRpmSettingsAtStartUp();

private:
    std::unique_ptr<TranspondersListModel> m_model;
    std::unique_ptr<QAbstractItemModelTester> m_tester;
    std::unique_ptr<ListModelSignalLog> m_log;
};

void LimitControlTest::init() {
    m_model = std::make_unique<TranspondersListModel>();
    m_model->loadRpmSettings({});
    m_tester = std::make_unique<QAbstractItemModelTester>(m_model.get(),
                                                          QAbstractItemModelTester::FailureReportingMode::QtTest);
    for (int id : {11, 22, 33})
        m_model->updateTransponderState({id, 5000, 10000, -50});
    m_log = std::make_unique<ListModelSignalLog>(*m_model);
}

void LimitControlTest::cleanup() {
    m_log.reset();
    m_tester.reset();
    m_model.reset();
}

void LimitControlTest::globalModeOutsideTheTableIsRefused_data() {
    QTest::addColumn<QString>("mode");
    QTest::newRow("empty") << QString();
    QTest::newRow("unknown percentage") << "p30";
    QTest::newRow("upper case") << "P50";
    QTest::newRow("button text") << "50%";
}

void LimitControlTest::globalModeOutsideTheTableIsRefused() {
    QFETCH(QString, mode);
    m_model->setLimitMode("p25");
    m_log->take();
    m_model->setLimitMode(mode);
    m_model->setLimitMode(mode, false);
    m_model->remoteAppCommand({{"appCommand", "globalRpmLimit"}, {"value", mode}});
    QCOMPARE(m_log->take(), QStringList());
    QCOMPARE(m_model->limitMode(), QString("p25"));
}

void LimitControlTest::localGlobalModeCommandsRetranslatorAndConsoles() {
    QVERIFY(m_model->setProperty("limitMode", "p50"));
    QCOMPARE(m_log->take(), (QStringList{"updateTranspondersLimit 3000 1",
                                         R"(resendCommandToApps {"appCommand":"globalRpmLimit","value":"p50"})",
                                         "dataChanged 0-2 [261,263]"}));
    QCOMPARE(m_model->limitMode(), QString("p50"));
    for (int row = 0; row < 3; ++row) {
        QCOMPARE(m_model->index(row).data(TranspondersListModel::LimitModeRole).toString(), QString("p50"));
        QCOMPARE(m_model->index(row).data(TranspondersListModel::TargetLimitValueRole).toInt(), 3000);
        QCOMPARE(m_model->index(row).data(TranspondersListModel::LimitOkRole).toBool(), false);
    }
    // Choosing the mode in force again repeats everything.
    m_model->setLimitMode("p50");
    QCOMPARE(m_log->take().size(), 3);
    // With no rows there is no change of data to announce.
    m_model->resetData();
    m_log->take();
    m_model->setLimitMode("p25");
    QCOMPARE(m_log->take(), (QStringList{"updateTranspondersLimit 2300 1",
                                         R"(resendCommandToApps {"appCommand":"globalRpmLimit","value":"p25"})"}));
}

void LimitControlTest::remoteGlobalModeOnlyTellsTheScreen() {
    m_model->remoteAppCommand({{"appCommand", "globalRpmLimit"}, {"value", "p0"}});
    QCOMPARE(m_log->take(),
             (QStringList{"updateTranspondersLimit 0 0", "limitModeChanged p0", "dataChanged 0-2 [261,263]"}));
    for (int row = 0; row < 3; ++row)
        QCOMPARE(m_model->index(row).data(TranspondersListModel::TargetLimitValueRole).toInt(), 0);
}

void LimitControlTest::consoleReceivingItsOwnGlobalCommand() {
    m_model->setLimitMode("p25");
    m_model->remoteAppCommand({{"appCommand", "globalRpmLimit"}, {"value", "p25"}});
    QCOMPARE(m_log->filtered("updateTranspondersLimit"),
             (QStringList{"updateTranspondersLimit 2300 1", "updateTranspondersLimit 2300 0"}));
    QCOMPARE(m_log->filtered("resendCommandToApps").size(), 1);
    QCOMPARE(m_log->filtered("limitModeChanged"), QStringList{"limitModeChanged p25"});
    QCOMPARE(m_log->lines.at(m_log->lines.size() - 2), QString("limitModeChanged p25"));
    QCOMPARE(m_model->index(0).data(TranspondersListModel::TargetLimitValueRole).toInt(), 2300);
}

void LimitControlTest::everyGlobalLimitTakesOnePathWithItsSource_data() {
    QTest::addColumn<Choice>("choose");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QStringList>("signalsSent");
    using M = TranspondersListModel;
    const QJsonObject global{{"appCommand", "globalRpmLimit"}, {"value", "p0"}};
    QJsonObject feeds = global;
    feeds.insert("chosenBy", "timingFeed");
    const QStringList commanded{"updateTranspondersLimit 0 1",
                                R"(resendCommandToApps {"appCommand":"globalRpmLimit","value":"p0"})"};
    const QStringList told{"updateTranspondersLimit 0 0", "limitModeChanged p0"};
    QTest::newRow("click") << Choice([](M &m) { m.setProperty("limitMode", "p0"); }) << "click" << commanded;
    QTest::newRow("key") << Choice([](M &m) {
        m.chooseGlobalLimit("p0", {LimitSource::Key, "F12"});
    }) << "key F12" << commanded + QStringList{"limitModeChanged p0"};
    QTest::newRow("timing feed")
        << Choice([](M &m) {
               m.chooseGlobalLimit("p0", {LimitSource::TimingFeed, "t:1"});
           })
        << "timing feed t:1"
        << QStringList{"updateTranspondersLimit 0 1",
                       R"(resendCommandToApps {"appCommand":"globalRpmLimit","chosenBy":"timingFeed","value":"p0"})",
                       "limitModeChanged p0"};
    QTest::newRow("another console") << Choice([=](M &m) { m.remoteAppCommand(global, "10.0.0.7", false); })
                                     << "10.0.0.7" << told;
    // Sent on, it would come back from the other console's feed without end.
    QTest::newRow("another console's feed")
        << Choice([=](M &m) { m.remoteAppCommand(feeds, "10.0.0.7", false); }) << "timing feed via 10.0.0.7" << told;
    QTest::newRow("its own command come back")
        << Choice([=](M &m) { m.remoteAppCommand(global, "10.0.0.1", true); }) << "" << told;
}

void LimitControlTest::everyGlobalLimitTakesOnePathWithItsSource() {
    QFETCH(Choice, choose);
    QFETCH(QString, source);
    QFETCH(QStringList, signalsSent);
    QStringList sources;
    connect(m_model.get(), &TranspondersListModel::globalLimitApplied,
            [&sources](const QString &, int, const LimitSource &s) { sources << s.text(); });
    choose(*m_model);
    QCOMPARE(m_log->take(), signalsSent + QStringList{"dataChanged 0-2 [261,263]"});
    QCOMPARE(sources, QStringList{source});
}

void LimitControlTest::rowWriteLimitsOneTransponder() {
    QVERIFY(m_model->setData(m_model->index(1), "p25", TranspondersListModel::LimitModeRole));
    QCOMPARE(m_log->take(),
             (QStringList{R"(resendCommandToApps {"appCommand":"transponderLimit","transponderId":22,"value":"p25"})",
                          "setTransponderLimit 22 2300", "dataChanged 1-1 [261,263]"}));
    QCOMPARE(m_model->limitMode(), QString());
    QCOMPARE(m_model->index(0).data(TranspondersListModel::TargetLimitValueRole).toInt(), 10000);
    QCOMPARE(m_model->index(1).data(TranspondersListModel::TargetLimitValueRole).toInt(), 2300);
}

void LimitControlTest::rowWritesThatAreRefused_data() {
    QTest::addColumn<int>("row");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("role");
    const int limitMode = TranspondersListModel::LimitModeRole;
    QTest::newRow("another role") << 0 << QVariant("p25") << int(TranspondersListModel::RpmValueRole);
    QTest::newRow("minus one as number") << 0 << QVariant(-1) << limitMode;
    QTest::newRow("minus one as text") << 0 << QVariant("-1") << limitMode;
    QTest::newRow("row past the end") << 3 << QVariant("p25") << limitMode;
    QTest::newRow("no row") << -1 << QVariant("p25") << limitMode;
}

void LimitControlTest::rowWritesThatAreRefused() {
    QFETCH(int, row);
    QFETCH(QVariant, value);
    QFETCH(int, role);
    const QModelIndex index = row >= 0 ? m_model->index(row) : QModelIndex();
    QVERIFY(!m_model->setData(index, value, role));
    QCOMPARE(m_log->take(), QStringList());
    QCOMPARE(m_model->index(0).data(TranspondersListModel::LimitModeRole).toString(), QString());
}

void LimitControlTest::rowWriteOfTextOutsideTheTableKeepsTheTarget() {
    QVERIFY(m_model->setData(m_model->index(0), "p50", TranspondersListModel::LimitModeRole));
    m_log->take();
    QVERIFY(m_model->setData(m_model->index(0), "fast", TranspondersListModel::LimitModeRole));
    QCOMPARE(m_log->take(),
             (QStringList{R"(resendCommandToApps {"appCommand":"transponderLimit","transponderId":11,"value":"fast"})",
                          "setTransponderLimit 11 3000", "dataChanged 0-0 [261,263]"}));
    QCOMPARE(m_model->index(0).data(TranspondersListModel::LimitModeRole).toString(), QString("fast"));
}

void LimitControlTest::nextGlobalModeReplacesRowModes() {
    m_model->setLimitMode("p100");
    m_model->setData(m_model->index(2), "p0", TranspondersListModel::LimitModeRole);
    QCOMPARE(m_model->limitMode(), QString("p100"));
    QCOMPARE(m_model->index(2).data(TranspondersListModel::TargetLimitValueRole).toInt(), 0);
    m_model->setLimitMode("p100");
    QCOMPARE(m_model->index(2).data(TranspondersListModel::LimitModeRole).toString(), QString("p100"));
    QCOMPARE(m_model->index(2).data(TranspondersListModel::TargetLimitValueRole).toInt(), 10000);
}

void LimitControlTest::remoteRowCommand_data() {
    QTest::addColumn<QJsonObject>("command");
    QTest::addColumn<QStringList>("signals_");
    QTest::addColumn<QString>("modeOfRow33");
    const QJsonObject base{{"appCommand", "transponderLimit"}, {"value", "p50"}};
    auto with = [base](const QJsonValue &id) {
        QJsonObject command = base;
        command.insert("transponderId", id);
        return command;
    };
    QTest::newRow("existing row") << with(33) << QStringList{"dataChanged 2-2 [261,263]"} << "p50";
    QTest::newRow("identifier 0") << with(0) << QStringList() << "";
    QTest::newRow("no identifier") << base << QStringList() << "";
    QTest::newRow("identifier as text") << with("33") << QStringList() << "";
    QTest::newRow("identifier not whole") << with(33.5) << QStringList() << "";
    QTest::newRow("identifier far out of range") << with(1e300) << QStringList() << "";
    QTest::newRow("identifier without a row") << with(44) << QStringList() << "";
    QTest::newRow("other command") << QJsonObject{{"appCommand", "reboot"}, {"transponderId", 33}} << QStringList()
                                   << "";
    QTest::newRow("command not text") << QJsonObject{{"appCommand", 1}, {"transponderId", 33}} << QStringList() << "";
}

void LimitControlTest::remoteRowCommand() {
    QFETCH(QJsonObject, command);
    QFETCH(QStringList, signals_);
    QFETCH(QString, modeOfRow33);
    m_model->remoteAppCommand(command);
    QCOMPARE(m_log->take(), signals_);
    QCOMPARE(m_model->index(2).data(TranspondersListModel::LimitModeRole).toString(), modeOfRow33);
    QCOMPARE(m_model->index(2).data(TranspondersListModel::TargetLimitValueRole).toInt(),
             modeOfRow33.isEmpty() ? 10000 : 3000);
}

void LimitControlTest::settingsUpdateTheTable_data() {
    QTest::addColumn<QJsonObject>("settings");
    QTest::addColumn<int>("p25");
    QTest::addColumn<int>("p50");
    QTest::newRow("numbers") << QJsonObject{{"p25RpmValue", 2500}, {"p50RpmValue", 4000}} << 2500 << 4000;
    QTest::newRow("integer text") << QJsonObject{{"p25RpmValue", "2600"}} << 2600 << 3000;
    QTest::newRow("text without an integer")
        << QJsonObject{{"p25RpmValue", "fast"}, {"p50RpmValue", ""}} << 2300 << 3000;
    QTest::newRow("number far out of range") << QJsonObject{{"p50RpmValue", 1e20}} << 2300 << 3000;
    QTest::newRow("neither key") << QJsonObject{{"other", 1}} << 2300 << 3000;
}

void LimitControlTest::settingsUpdateTheTable() {
    QFETCH(QJsonObject, settings);
    QFETCH(int, p25);
    QFETCH(int, p50);
    m_model->updateSettings("rpmSettings", settings);
    const QJsonObject limits{{"p0", 0}, {"p100", 10000}, {"p25", p25}, {"p50", p50}};
    QCOMPARE(m_model->rpmLimits(), limits);
    QCOMPARE(m_log->take(), QStringList{R"(rpmLimitsChanged )" +
                                        QString::fromUtf8(QJsonDocument(limits).toJson(QJsonDocument::Compact))});
    // Rows keep their targets until the next limit is chosen.
    QCOMPARE(m_model->index(0).data(TranspondersListModel::TargetLimitValueRole).toInt(), 10000);
    m_model->setLimitMode("p25");
    QCOMPARE(m_model->index(0).data(TranspondersListModel::TargetLimitValueRole).toInt(), p25);
}

void LimitControlTest::otherSettingsGroupsAreIgnored() {
    m_model->updateSettings("transponders", {{"p25RpmValue", 1000}});
    QCOMPARE(m_log->take(), QStringList());
    QCOMPARE(rpmByLimitMode.value("p25"), 2300);
}

void LimitControlTest::loadRpmSettingsAtStartUp_data() {
    QTest::addColumn<QJsonObject>("stored");
    QTest::addColumn<int>("p25");
    QTest::addColumn<int>("p50");
    QTest::newRow("nothing stored") << QJsonObject() << 2300 << 3000;
    QTest::newRow("stored numbers") << QJsonObject{{"p25RpmValue", 2400}, {"p50RpmValue", 5100}} << 2400 << 5100;
    QTest::newRow("not whole numbers") << QJsonObject{{"p25RpmValue", 2400.5}, {"p50RpmValue", "5100"}} << 2300 << 3000;
}

void LimitControlTest::loadRpmSettingsAtStartUp() {
    QFETCH(QJsonObject, stored);
    QFETCH(int, p25);
    QFETCH(int, p50);
    m_model->loadRpmSettings(stored);
    QCOMPARE(m_model->rpmLimits(), (QJsonObject{{"p0", 0}, {"p100", 10000}, {"p25", p25}, {"p50", p50}}));
    QCOMPARE(m_log->take(), QStringList());
}

QTEST_GUILESS_MAIN(LimitControlTest)
#include "tst_limitcontrol.moc"
