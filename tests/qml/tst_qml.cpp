#include <QQmlEngine>
#include <QSettings>
#include <QTemporaryDir>
#include <QtQuickTest>

#include "models/settingsidentity.h"
#include "testdriver.h"

// Every test file gets its own engine; each engine gets fresh core objects over an emptied settings store
// that lives in a temporary directory, never in the user's own.
class QmlTestSetup : public QObject {
    Q_OBJECT

public:
    QmlTestSetup() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_configDir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_configDir.path());
    }

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
    QTemporaryDir m_configDir;
};

QUICK_TEST_MAIN_WITH_SETUP(deviv_qml, QmlTestSetup)

#include "tst_qml.moc"
