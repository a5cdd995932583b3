#include <QGuiApplication>
#include <QIcon>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QUrl>
#include <QWindow>

#include "app/wiring.h"
#include "control/eventrecord.h"
#include "control/eventrecordfeed.h"
#include "control/globalhotkeys.h"
#include "control/stayawake.h"
#include "incident/incidentrecorder.h"
#include "models/applicationsettingsmodel.h"
#include "models/settingsfilecheck.h"
#include "models/settingsidentity.h"
#include "models/transponderslistmodel.h"
#include "models/transpondersmodel.h"
#include "net/dataexchange.h"
#include "timing/flagfollower.h"
#include "timing/timingfeed.h"
#include "timing/timingfeedsettings.h"

int main(int argc, char *argv[]) {
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
#ifdef Q_OS_WIN
    // Qt would keep compiled shaders in a cache folder that all Qt programs share, which no uninstaller can
    // tell apart; the console's are few and quick to compile.
    QCoreApplication::setAttribute(Qt::AA_DisableShaderDiskCache, true);
#endif
    QGuiApplication app(argc, argv);
    app.setWindowIcon(QIcon(QStringLiteral(":/app_icon")));
    // The event record's folder is the per-user application data folder of these names.
    app.setOrganizationName(SettingsIdentity::organization());
    app.setApplicationName(SettingsIdentity::application());
    app.setApplicationVersion(QStringLiteral(DEVIV_VERSION));
    // Outlives everything that records, the exchange's worker thread included.
    EventRecord record(EventRecord::standardFolder());
    StayAwake stayAwake;
    DataExchange exchange;
    SettingsFileCheck::removeUnreadableValues();
    ApplicationSettingsModel appSettings;
    TranspondersListModel transpondersListModel;
    connectSettingsToLiveList(appSettings, transpondersListModel);
    // The first limit commands already use the stored RPM values.
    transpondersListModel.loadRpmSettings(appSettings.rpmSettings());
    TranspondersModel transpondersModel;
    EventRecordFeed recordFeed(record, transpondersListModel, transpondersModel);
    TimingFeed timingFeed;
    FlagFollower flagFollower(timingFeed, transpondersListModel);
    // Goes before the record, and writes the report it holds before it does.
    IncidentRecorder incidents(EventRecord::standardFolder(), [&transpondersModel](int transponderId) {
        return transpondersModel.getKartNumByTransponderId(transponderId);
    });

    // Made after the objects its bindings read, so that it goes before them at exit.
    QQmlApplicationEngine engine;
    QQmlContext *context = engine.rootContext();
    context->setContextProperty(QStringLiteral("appSettings"), &appSettings);
    context->setContextProperty(QStringLiteral("transpondersListModel"), &transpondersListModel);
    context->setContextProperty(QStringLiteral("retranlatorState"), exchange.linkState());
    context->setContextProperty(QStringLiteral("transpondersModel"), &transpondersModel);
    context->setContextProperty(QStringLiteral("timingFeed"), &timingFeed);
    context->setContextProperty(QStringLiteral("flagFollower"), &flagFollower);

    const QUrl mainUrl(QStringLiteral("qrc:/main.qml"));
    // Queued: a root document that cannot be created ends the event loop as soon as it starts.
    QObject::connect(
        &engine, &QQmlApplicationEngine::objectCreated, &app,
        [mainUrl](QObject *object, const QUrl &url) {
            if (!object && url == mainUrl)
                QCoreApplication::exit(-1);
        },
        Qt::QueuedConnection);
    engine.load(mainUrl);
    connectExchangeAndLiveList(exchange, transpondersListModel);
    connectExchangeToRecord(exchange, recordFeed);
    connectTimingFeed(timingFeed, flagFollower, exchange, recordFeed);
    connectIncidentRecorder(incidents, transpondersListModel, exchange, recordFeed);
    timingFeed.setAddress(TimingFeedSettings::load().address);
    GlobalHotkeys keys;
    if (auto *window = qobject_cast<QWindow *>(engine.rootObjects().value(0)))
        connectRaceControl(keys, transpondersListModel, incidents, window);
    return app.exec();
}
