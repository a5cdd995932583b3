#include <QQmlEngine>
#include <QSettings>
#include <QtQuickTest>

#include "isolatedsettings.h"
#include "models/settingsidentity.h"
#include "testdriver.h"

// Every test file gets its own engine; each engine gets fresh core objects over an emptied settings store
// of this run, never the user's own.
class QmlTestSetup : public QObject {
    Q_OBJECT

public slots:
    void qmlEngineAvailable(QQmlEngine *engine) {
        {
            QSettings store(QSettings::NativeFormat, QSettings::UserScope, SettingsIdentity::organization(),
                            SettingsIdentity::application());
            store.clear();
            store.sync();
        }
        new TestDriver(engine);
    }

private:
    IsolatedSettings m_store;
};

QUICK_TEST_MAIN_WITH_SETUP(deviv_qml, QmlTestSetup)

#include "tst_qml.moc"
