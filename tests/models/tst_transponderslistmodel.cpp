#include <QAbstractItemModelTester>
#include <QRandomGenerator>
#include <QtTest>
#include <algorithm>

#include "listmodelsignallog.h"
#include "models/limitmodes.h"
#include "models/transponderslistmodel.h"

namespace {

DataExchange::TransponderState report(int id, int limit = 10000, int rpm = 5000, int rssi = -60) {
    return {id, rpm, limit, rssi};
}

}  // namespace

class TranspondersListModelTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void newRowRequestsItsTarget_data();
    void newRowRequestsItsTarget();
    void knownRowRequestsOnlyWhileTheReportedLimitDiffers();
    void rowsKeepTheirArrivalOrder();
    void rowsGoOfflineAfterFiveSecondsAndComeBack();
    void staleRowsAreRemovedAsRunsOfRows();
    void resetEmptiesTheList();
    void readsOutsideTheRowsAreEmpty();
    void limitOkComparesReportedAndWantedLimit();
    void indexFindsTheSameRowAsALinearScan();
    void rowEventsForTheRecord();
    void limitsNotTakenAfterThreeSeconds();

private:
    void sweep() { QVERIFY(QMetaObject::invokeMethod(m_model.get(), "refreshList")); }
    void checkLimits() { QVERIFY(QMetaObject::invokeMethod(m_model.get(), "checkLimitsTaken")); }
    QStringList raceEvents() { return std::exchange(m_raceEvents, {}); }
    void recordRaceEvents();
    QList<int> ids() const;

    qint64 m_now = 1'700'000'000'000;
    std::unique_ptr<TranspondersListModel> m_model;
    std::unique_ptr<QAbstractItemModelTester> m_tester;
    std::unique_ptr<ListModelSignalLog> m_log;
    QStringList m_raceEvents;
};

void TranspondersListModelTest::init() {
    m_model = std::make_unique<TranspondersListModel>([this] { return m_now; });
    m_model->loadRpmSettings({});
    m_tester = std::make_unique<QAbstractItemModelTester>(m_model.get(),
                                                          QAbstractItemModelTester::FailureReportingMode::QtTest);
    m_log = std::make_unique<ListModelSignalLog>(*m_model);
    recordRaceEvents();
}

void TranspondersListModelTest::cleanup() {
    m_log.reset();
    m_tester.reset();
    m_model.reset();
}

// Records the signals meant for the event record, one line each, in m_raceEvents.
void TranspondersListModelTest::recordRaceEvents() {
    using M = TranspondersListModel;
    QStringList &lines = m_raceEvents;
    const auto idEvent = [&lines](const char *name) {
        return [&lines, name](int id) { lines << QString("%1 %2").arg(name).arg(id); };
    };
    connect(m_model.get(), &M::transponderOnAir, idEvent("onAir"));
    connect(m_model.get(), &M::transponderSilent, idEvent("silent"));
    connect(m_model.get(), &M::transponderBack, idEvent("back"));
    connect(m_model.get(), &M::transponderRemoved, idEvent("removed"));
    const auto where = [](const LimitSource &source) {
        return source.isPerson() && source.kind != LimitSource::OtherConsole ? "local" : "remote";
    };
    connect(m_model.get(), &M::globalLimitApplied,
            [&lines, where](const QString &mode, int rpm, const LimitSource &source) {
                lines << QString("global %1 %2 %3").arg(mode).arg(rpm).arg(where(source));
            });
    connect(m_model.get(), &M::transponderLimitApplied,
            [&lines, where](int id, const QString &mode, int rpm, const LimitSource &source) {
                lines << QString("kart %1 %2 %3 %4").arg(id).arg(mode).arg(rpm).arg(where(source));
            });
    connect(m_model.get(), &M::limitTaken, [&lines](int id, const QString &mode, int rpm, qint64 afterMs) {
        lines << QString("taken %1 %2 %3 after %4").arg(id).arg(mode).arg(rpm).arg(afterMs);
    });
    connect(m_model.get(), &M::limitNotTaken, [&lines](int id, const QString &mode, int rpm) {
        lines << QString("notTaken %1 %2 %3").arg(id).arg(mode).arg(rpm);
    });
    connect(m_model.get(), &M::limitsNotTakenChanged,
            [&lines](const QJsonObject &ids) { lines << "notTakenNow " + QStringList(ids.keys()).join(','); });
}

QList<int> TranspondersListModelTest::ids() const {
    QList<int> result;
    for (int row = 0; row < m_model->rowCount(); ++row)
        result << m_model->index(row).data(TranspondersListModel::TransponderIdRole).toInt();
    return result;
}

void TranspondersListModelTest::newRowRequestsItsTarget_data() {
    QTest::addColumn<QString>("globalMode");
    QTest::addColumn<int>("target");
    QTest::newRow("no global mode yet") << QString() << 10000;
    QTest::newRow("global p50") << "p50" << 3000;
    QTest::newRow("global p0") << "p0" << 0;
}

void TranspondersListModelTest::newRowRequestsItsTarget() {
    QFETCH(QString, globalMode);
    QFETCH(int, target);
    m_model->updateTransponderState(report(1));
    if (!globalMode.isEmpty())
        m_model->setLimitMode(globalMode);
    m_log->take();

    m_model->updateTransponderState(report(42, target));  // already reporting the target: still requested
    QCOMPARE(m_log->take(), (QStringList{"rowsAboutToBeInserted 1-1", "rowsInserted 1-1",
                                         QStringLiteral("setTransponderLimit 42 %1").arg(target)}));
    const QModelIndex row = m_model->index(1);
    QCOMPARE(row.data(TranspondersListModel::TransponderIdRole).toInt(), 42);
    QCOMPARE(row.data(TranspondersListModel::NumRole).toString(), QString());
    QCOMPARE(row.data(TranspondersListModel::IsTransponderOnlineRole).toBool(), true);
    QCOMPARE(row.data(TranspondersListModel::TargetLimitValueRole).toInt(), target);
    QCOMPARE(row.data(TranspondersListModel::LimitModeRole).toString(), globalMode);
}

void TranspondersListModelTest::knownRowRequestsOnlyWhileTheReportedLimitDiffers() {
    m_model->updateTransponderState(report(42));
    m_log->take();
    const QString changed = "dataChanged 0-0 [258,259,263,264,265,262]";

    m_model->updateTransponderState(report(42, 10000, 6100, -70));
    QCOMPARE(m_log->take(), QStringList{changed});
    QCOMPARE(m_model->index(0).data(TranspondersListModel::RpmValueRole).toInt(), 6100);
    QCOMPARE(m_model->index(0).data(TranspondersListModel::RssiValueRole).toInt(), -70);

    // The request carries the row's target, not the reported value, and repeats with every report.
    m_model->updateTransponderState(report(42, 2300));
    m_model->updateTransponderState(report(42, 2300));
    QCOMPARE(m_log->take(),
             (QStringList{"setTransponderLimit 42 10000", changed, "setTransponderLimit 42 10000", changed}));
}

void TranspondersListModelTest::rowsKeepTheirArrivalOrder() {
    for (int id : {7, 3, 9})
        m_model->updateTransponderState(report(id));
    for (int id : {9, 3, 7, 3})
        m_model->updateTransponderState(report(id));
    QCOMPARE(ids(), (QList<int>{7, 3, 9}));
}

void TranspondersListModelTest::rowsGoOfflineAfterFiveSecondsAndComeBack() {
    m_model->updateTransponderState(report(1));
    m_now += 1;
    m_model->updateTransponderState(report(2));
    m_model->setData(m_model->index(0), "p25", TranspondersListModel::LimitModeRole);
    m_log->take();

    m_now += 4999;  // row 2 is 4999 ms old, row 1 5000 ms
    sweep();
    QCOMPARE(m_log->take(), QStringList{"dataChanged 0-0 [264]"});
    QCOMPARE(m_model->index(0).data(TranspondersListModel::IsTransponderOnlineRole).toBool(), false);
    QCOMPARE(m_model->index(1).data(TranspondersListModel::IsTransponderOnlineRole).toBool(), true);

    m_now += 2500;
    sweep();
    QCOMPARE(m_log->take(), (QStringList{"dataChanged 0-0 [264]", "dataChanged 1-1 [264]"}));

    m_model->updateTransponderState(report(1, 2300));
    QCOMPARE(ids(), (QList<int>{1, 2}));
    const QModelIndex back = m_model->index(0);
    QCOMPARE(back.data(TranspondersListModel::IsTransponderOnlineRole).toBool(), true);
    QCOMPARE(back.data(TranspondersListModel::LimitModeRole).toString(), QString("p25"));
    QCOMPARE(back.data(TranspondersListModel::TargetLimitValueRole).toInt(), 2300);
}

// Each run of adjacent stale rows is one removal, announced after every stale row went offline; the positions
// announced are those the views hold at that moment.
void TranspondersListModelTest::staleRowsAreRemovedAsRunsOfRows() {
    for (int id : {1, 2, 3})
        m_model->updateTransponderState(report(id));
    m_now += 60000;
    m_model->updateTransponderState(report(4));
    m_model->updateTransponderState(report(5));
    m_now += 60000;
    m_model->updateTransponderState(report(6));
    m_model->updateTransponderState(report(7));
    m_now += 60000;
    for (int id : {2, 5})
        m_model->updateTransponderState(report(id));
    m_now += 60000;  // rows 1, 3, 4, 6, 7 are 120000 ms old or more; 2 and 5 are 60000 ms old
    m_log->take();
    sweep();
    QCOMPARE(m_log->take(), (QStringList{"dataChanged 0-0 [264]", "dataChanged 1-1 [264]", "dataChanged 2-2 [264]",
                                         "dataChanged 3-3 [264]", "dataChanged 4-4 [264]", "dataChanged 5-5 [264]",
                                         "dataChanged 6-6 [264]", "rowsAboutToBeRemoved 5-6", "rowsRemoved 5-6",
                                         "rowsAboutToBeRemoved 2-3", "rowsRemoved 2-3", "rowsAboutToBeRemoved 0-0",
                                         "rowsRemoved 0-0"}));
    QCOMPARE(ids(), (QList<int>{2, 5}));

    m_now += 2500;  // offline, not yet removed: nothing removed
    sweep();
    QCOMPARE(m_log->take(), (QStringList{"dataChanged 0-0 [264]", "dataChanged 1-1 [264]"}));

    // A removed transponder that reports again gets a new row at the end; the others still find theirs.
    m_model->updateTransponderState(report(3));
    QCOMPARE(ids(), (QList<int>{2, 5, 3}));
    m_model->updateTransponderState(report(5, 1234));
    QCOMPARE(m_model->index(1).data(TranspondersListModel::LimitValueRole).toInt(), 1234);
}

void TranspondersListModelTest::resetEmptiesTheList() {
    m_model->resetData();
    QCOMPARE(m_log->take(), (QStringList{"modelAboutToBeReset", "modelReset"}));
    m_model->updateTransponderState(report(1));
    m_model->setLimitMode("p50");
    m_model->resetData();
    QCOMPARE(m_model->rowCount(), 0);
    QCOMPARE(m_model->limitMode(), QString("p50"));
    m_log->take();
    m_model->updateTransponderState(report(1));
    QCOMPARE(m_log->take(),
             (QStringList{"rowsAboutToBeInserted 0-0", "rowsInserted 0-0", "setTransponderLimit 1 3000"}));
}

void TranspondersListModelTest::readsOutsideTheRowsAreEmpty() {
    m_model->updateTransponderState(report(1));
    const QModelIndex row = m_model->index(0);
    QVERIFY(!row.data(Qt::UserRole).isValid());
    QVERIFY(!row.data(Qt::UserRole + 10).isValid());
    QVERIFY(!m_model->data(m_model->index(1), TranspondersListModel::RpmValueRole).isValid());
    QVERIFY(!m_model->data(QModelIndex(), TranspondersListModel::RpmValueRole).isValid());
    QCOMPARE(m_model->rowCount(), 1);
    QCOMPARE(m_model->rowCount(row), 0);  // a flat list: rows have no children
    QCOMPARE(m_model->roleNames().value(263), QByteArray("limitOk"));
    QCOMPARE(m_model->roleNames().size(), 9);
}

void TranspondersListModelTest::limitOkComparesReportedAndWantedLimit() {
    m_model->updateTransponderState(report(1, 10000));
    const QModelIndex row = m_model->index(0);
    QCOMPARE(row.data(TranspondersListModel::LimitOkRole).toBool(), true);
    m_model->setData(row, "p50", TranspondersListModel::LimitModeRole);
    QCOMPARE(row.data(TranspondersListModel::LimitOkRole).toBool(), false);
    m_model->updateTransponderState(report(1, 2999));
    QCOMPARE(row.data(TranspondersListModel::LimitOkRole).toBool(), false);
    m_model->updateTransponderState(report(1, 3000));
    QCOMPARE(row.data(TranspondersListModel::LimitOkRole).toBool(), true);
}

// Random reports, sweeps and resets over 40 neighbouring ids; after each step the model must hold exactly what a
// plain list, searched from the start for every report, holds.
void TranspondersListModelTest::indexFindsTheSameRowAsALinearScan() {
    QList<int> pool;
    for (int id = -2; id < 38; ++id)
        pool << id;
    const int steps = 4000;
    const int sweepAdvanceMs = 40000;
    int mostRows = 0;
    struct ShadowRow {
        int id;
        int rpm;
        qint64 stamp;
    };
    QList<ShadowRow> shadow;
    const auto sameRows = [&] {
        QCOMPARE(m_model->rowCount(), shadow.size());
        for (int row = 0; row < shadow.size(); ++row) {
            QCOMPARE(m_model->index(row).data(TranspondersListModel::TransponderIdRole).toInt(), shadow.at(row).id);
            QCOMPARE(m_model->index(row).data(TranspondersListModel::RpmValueRole).toInt(), shadow.at(row).rpm);
        }
    };
    QRandomGenerator random(3);
    for (int step = 0; step < steps; ++step) {
        const int action = random.bounded(1000);
        if (action < 985) {
            const int id = pool.at(random.bounded(pool.size()));
            const int rpm = random.bounded(12000);
            auto found =
                std::find_if(shadow.begin(), shadow.end(), [id](const ShadowRow &row) { return row.id == id; });
            if (found != shadow.end())
                *found = {id, rpm, m_now};
            else
                found = shadow.insert(shadow.end(), {id, rpm, m_now});
            m_model->updateTransponderState(report(id, 10000, rpm));
            // The report reached the row that holds its id, wherever that row stands.
            const QModelIndex row = m_model->index(int(found - shadow.begin()));
            QCOMPARE(row.data(TranspondersListModel::TransponderIdRole).toInt(), id);
            QCOMPARE(row.data(TranspondersListModel::RpmValueRole).toInt(), rpm);
            QCOMPARE(m_model->rowCount(), shadow.size());
            mostRows = std::max(mostRows, int(shadow.size()));
            m_now += random.bounded(10);
        } else if (action < 998) {
            m_now += random.bounded(sweepAdvanceMs);
            shadow.erase(std::remove_if(shadow.begin(), shadow.end(),
                                        [this](const ShadowRow &row) { return m_now - row.stamp >= 120000; }),
                         shadow.end());
            sweep();
            sameRows();
        } else {
            shadow.clear();
            m_model->resetData();
            sameRows();
        }
        if (QTest::currentTestFailed())
            return;
    }
    sameRows();
    QVERIFY(mostRows >= pool.size());
}

// A kart is on air with its first report, silent once its row goes offline (not at every sweep after), back with
// its next report, and removed with its row.
void TranspondersListModelTest::rowEventsForTheRecord() {
    raceEvents();
    m_model->updateTransponderState(report(1));
    m_model->updateTransponderState(report(1));
    m_now += 5000;
    sweep();
    sweep();
    m_model->updateTransponderState(report(1));
    m_now += 120000;
    sweep();
    m_model->updateTransponderState(report(1));
    QCOMPARE(raceEvents(), (QStringList{"onAir 1", "silent 1", "back 1", "silent 1", "removed 1", "onAir 1"}));
}

// A chosen limit that a kart has not taken 3 s after it was commanded is marked until the kart takes it or the
// operator chooses again; a kart that leaves its limit is timed again. The choice that comes back from the network
// restarts nothing, and rows without a chosen mode are not timed.
void TranspondersListModelTest::limitsNotTakenAfterThreeSeconds() {
    m_model->updateTransponderState(report(1));
    m_model->updateTransponderState(report(2));
    raceEvents();
    m_model->setLimitMode("p0");
    m_now += 1000;
    m_model->updateTransponderState(report(1, 0));
    m_now += 1999;
    checkLimits();
    QCOMPARE(raceEvents(), (QStringList{"global p0 0 local", "taken 1 p0 0 after 1000"}));
    m_now += 1;
    checkLimits();
    checkLimits();
    QCOMPARE(raceEvents(), (QStringList{"notTaken 2 p0 0", "notTakenNow 2"}));
    QCOMPARE(m_model->limitsNotTaken(), (QJsonObject{{"2", true}}));

    m_model->setLimitMode("p0", false);
    m_now += 5000;
    checkLimits();
    QCOMPARE(raceEvents(), QStringList{"global p0 0 remote"});

    m_model->setLimitMode("p0");  // chosen again: timed from now
    QCOMPARE(raceEvents(), (QStringList{"global p0 0 local", "taken 1 p0 0 after 0", "notTakenNow "}));
    m_now += 500;
    m_model->updateTransponderState(report(2, 0));
    m_now += 100;
    m_model->updateTransponderState(report(2, 10000));
    m_now += 3000;
    checkLimits();
    QCOMPARE(raceEvents(), (QStringList{"taken 2 p0 0 after 500", "notTaken 2 p0 0", "notTakenNow 2"}));

    m_model->setData(m_model->index(1), "p50", TranspondersListModel::LimitModeRole);
    m_model->remoteAppCommand({{"appCommand", "transponderLimit"}, {"transponderId", 2}, {"value", "p50"}});
    m_model->updateTransponderState(report(2, 3000));
    QCOMPARE(raceEvents(), (QStringList{"kart 2 p50 3000 local", "notTakenNow ", "kart 2 p50 3000 remote",
                                        "taken 2 p50 3000 after 0"}));

    m_model->resetData();
    m_model->remoteAppCommand({{"appCommand", "transponderLimit"}, {"transponderId", 3}, {"value", "p25"}});
    m_model->setLimitMode("p100");
    m_model->updateTransponderState(report(3, 5000));
    m_now += 3000;
    checkLimits();
    QCOMPARE(raceEvents(),
             (QStringList{"global p100 10000 local", "onAir 3", "notTaken 3 p100 10000", "notTakenNow 3"}));
}

QTEST_GUILESS_MAIN(TranspondersListModelTest)
#include "tst_transponderslistmodel.moc"
