#include <QAbstractItemModelTester>
#include <QtTest>

#include "isolatedsettings.h"
#include "models/transpondersmodel.h"

// The kart registry on a real settings store in a temporary directory; a "restart" is a second model
// opened on the same store after the first one is gone.
class TranspondersModelTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void freshStoreIsEmpty();
    void newEntryIsEmptyAndStoredAsTr0();
    void removingTheMiddleEntryRenumbersTheStore();
    void updateConvertsWhatTheOperatorTyped_data();
    void updateConvertsWhatTheOperatorTyped();
    void updateWithNeitherKeyStillRewritesTheGroup();
    void indexesOutOfRangeWriteNothing();
    void lookupTakesTheFirstMatchingEntry();
    void registryComesBackInTheOperatorsOrder();
    void storedValuesThatAreNotEntries();

private:
    void restart();
    QJsonObject item(int row) const { return m_model->index(row).data(TranspondersModel::ItemRole).toJsonObject(); }
    QStringList storedKeys() const;
    void fill(const QList<QPair<QString, int>> &entries);

    std::unique_ptr<IsolatedSettings> m_store;
    std::unique_ptr<TranspondersModel> m_model;
    std::unique_ptr<QAbstractItemModelTester> m_tester;
};

void TranspondersModelTest::init() {
    m_store = std::make_unique<IsolatedSettings>();
    restart();
}

void TranspondersModelTest::cleanup() {
    m_tester.reset();
    m_model.reset();
    m_store.reset();
}

void TranspondersModelTest::restart() {
    m_tester.reset();
    m_model.reset();
    m_model = std::make_unique<TranspondersModel>();
    m_tester = std::make_unique<QAbstractItemModelTester>(m_model.get(),
                                                          QAbstractItemModelTester::FailureReportingMode::QtTest);
}

QStringList TranspondersModelTest::storedKeys() const {
    const auto store = IsolatedSettings::open();
    store->beginGroup("transponders");
    return store->childKeys();
}

void TranspondersModelTest::fill(const QList<QPair<QString, int>> &entries) {
    for (const auto &entry : entries) {
        m_model->addNewItem();
        m_model->updateData(m_model->rowCount() - 1, {{"kartNum", entry.first}, {"transponderId", entry.second}});
    }
}

void TranspondersModelTest::freshStoreIsEmpty() {
    QCOMPARE(m_model->rowCount(), 0);
    QCOMPARE(m_model->getKartNumByTransponderId(0), QString());
    QCOMPARE(m_model->getKartNumByTransponderId(1234), QString());
    QCOMPARE(m_model->roleNames(), (QHash<int, QByteArray>{{257, "item"}}));
}

void TranspondersModelTest::newEntryIsEmptyAndStoredAsTr0() {
    QSignalSpy inserted(m_model.get(), &TranspondersModel::rowsInserted);
    m_model->addNewItem();
    QCOMPARE(inserted.size(), 1);
    QCOMPARE(item(0), (QJsonObject{{"kartNum", ""}, {"transponderId", ""}}));
    QCOMPARE(storedKeys(), QStringList{"tr0"});
    QVERIFY(!m_model->index(0).data(Qt::DisplayRole).isValid());
}

void TranspondersModelTest::removingTheMiddleEntryRenumbersTheStore() {
    fill({{"7", 101}, {"12", 102}, {"33", 103}});
    m_model->removeItem(1);
    QCOMPARE(storedKeys(), (QStringList{"tr0", "tr1"}));
    const auto store = IsolatedSettings::open();
    QCOMPARE(store->value("transponders/tr1").toMap().value("kartNum").toString(), QString("33"));
    restart();
    QCOMPARE(m_model->rowCount(), 2);
    QCOMPARE(item(0), (QJsonObject{{"kartNum", "7"}, {"transponderId", 101}}));
    QCOMPARE(item(1), (QJsonObject{{"kartNum", "33"}, {"transponderId", 103}}));
}

void TranspondersModelTest::updateConvertsWhatTheOperatorTyped_data() {
    QTest::addColumn<QJsonObject>("update");
    QTest::addColumn<QJsonObject>("expected");
    QTest::newRow("identifier as integer text")
        << QJsonObject{{"transponderId", "1234"}} << QJsonObject{{"kartNum", "5"}, {"transponderId", 1234}};
    QTest::newRow("identifier as number")
        << QJsonObject{{"transponderId", 77}} << QJsonObject{{"kartNum", "5"}, {"transponderId", 77}};
    QTest::newRow("identifier empty") << QJsonObject{{"transponderId", ""}}
                                      << QJsonObject{{"kartNum", "5"}, {"transponderId", ""}};
    QTest::newRow("identifier not an integer")
        << QJsonObject{{"transponderId", "12a"}} << QJsonObject{{"kartNum", "5"}, {"transponderId", ""}};
    QTest::newRow("identifier null") << QJsonObject{{"transponderId", QJsonValue()}}
                                     << QJsonObject{{"kartNum", "5"}, {"transponderId", ""}};
    QTest::newRow("identifier true") << QJsonObject{{"transponderId", true}}
                                     << QJsonObject{{"kartNum", "5"}, {"transponderId", ""}};
    QTest::newRow("identifier far out of range")
        << QJsonObject{{"transponderId", 1e20}} << QJsonObject{{"kartNum", "5"}, {"transponderId", ""}};
    QTest::newRow("kart number as text") << QJsonObject{{"kartNum", "A7"}}
                                         << QJsonObject{{"kartNum", "A7"}, {"transponderId", 9}};
    QTest::newRow("kart number as number")
        << QJsonObject{{"kartNum", 12}} << QJsonObject{{"kartNum", ""}, {"transponderId", 9}};
}

void TranspondersModelTest::updateConvertsWhatTheOperatorTyped() {
    QFETCH(QJsonObject, update);
    QFETCH(QJsonObject, expected);
    fill({{"5", 9}});
    m_model->updateData(0, update);
    QCOMPARE(item(0), expected);
    restart();
    QCOMPARE(item(0), expected);
}

// The save pass rewrites the whole group, so a key that does not belong there disappears.
void TranspondersModelTest::updateWithNeitherKeyStillRewritesTheGroup() {
    fill({{"5", 9}});
    IsolatedSettings::open()->setValue("transponders/stray", 1);
    m_model->updateData(0, {{"colour", "red"}});
    QCOMPARE(item(0), (QJsonObject{{"kartNum", "5"}, {"transponderId", 9}}));
    QCOMPARE(storedKeys(), QStringList{"tr0"});
}

void TranspondersModelTest::indexesOutOfRangeWriteNothing() {
    fill({{"5", 9}});
    IsolatedSettings::open()->setValue("transponders/stray", 1);
    for (int index : {-1, 1, 100}) {
        m_model->updateData(index, {{"kartNum", "8"}});
        m_model->removeItem(index);
    }
    QCOMPARE(m_model->rowCount(), 1);
    QCOMPARE(storedKeys(), (QStringList{"stray", "tr0"}));
}

void TranspondersModelTest::lookupTakesTheFirstMatchingEntry() {
    fill({{"first", 40}, {"unset", 0}, {"second", 40}, {"also unset", 0}});
    QCOMPARE(m_model->getKartNumByTransponderId(40), QString("first"));
    QCOMPARE(m_model->getKartNumByTransponderId(0), QString("unset"));
    QCOMPARE(m_model->getKartNumByTransponderId(41), QString());
    QString fromQml;  // QML calls it through the meta-object system
    QVERIFY(QMetaObject::invokeMethod(m_model.get(), "getKartNumByTransponderId", Q_RETURN_ARG(QString, fromQml),
                                      Q_ARG(int, 40)));
    QCOMPARE(fromQml, QString("first"));
}

// The store lists keys as text ("tr10" before "tr2"); the registry still comes back in saved order.
void TranspondersModelTest::registryComesBackInTheOperatorsOrder() {
    QList<QPair<QString, int>> entries;
    for (int i = 0; i < 12; ++i)
        entries.append({QString::number(i + 1), 100 + i});
    fill(entries);
    restart();
    QCOMPARE(m_model->rowCount(), 12);
    for (int i = 0; i < 12; ++i)
        QCOMPARE(item(i).value("kartNum").toString(), QString::number(i + 1));
    m_model->addNewItem();  // the next save numbers them in the same order
    restart();
    QCOMPARE(item(10).value("kartNum").toString(), QString("11"));
    QCOMPARE(m_model->rowCount(), 13);
}

void TranspondersModelTest::storedValuesThatAreNotEntries() {
    m_tester.reset();
    m_model.reset();
    {
        const auto store = IsolatedSettings::open();
        store->setValue("transponders/tr1", QVariantMap{{"kartNum", "B"}, {"transponderId", 2.0}});
        store->setValue("transponders/tr0", QVariantMap{{"kartNum", "A"}, {"transponderId", "1"}});
        store->setValue("transponders/tr2", "not a map");
        store->setValue("transponders/zzz", QVariantMap{{"kartNum", "Z"}});
        store->setValue("transponders/tr3", QVariantMap{{"kartNum", QVariantList{1, 2}}, {"transponderId", true}});
    }
    restart();
    QCOMPARE(m_model->rowCount(), 5);
    QCOMPARE(item(0), (QJsonObject{{"kartNum", "A"}, {"transponderId", 1}}));
    QCOMPARE(item(1), (QJsonObject{{"kartNum", "B"}, {"transponderId", 2}}));
    QCOMPARE(item(2), (QJsonObject{{"kartNum", ""}, {"transponderId", ""}}));
    QCOMPARE(item(3), (QJsonObject{{"kartNum", ""}, {"transponderId", ""}}));
    QCOMPARE(item(4), (QJsonObject{{"kartNum", "Z"}, {"transponderId", ""}}));
}

QTEST_GUILESS_MAIN(TranspondersModelTest)
#include "tst_transpondersmodel.moc"
