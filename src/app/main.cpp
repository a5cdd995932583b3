#include <QGuiApplication>
#include <QIcon>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QUrl>

#include "app/wiring.h"
#include "models/applicationsettingsmodel.h"
#include "models/settingsfilecheck.h"
#include "models/transponderslistmodel.h"
#include "models/transpondersmodel.h"
#include "net/dataexchange.h"

int main(int argc, char *argv[]) {
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
#ifdef Q_OS_WIN
    // Qt would keep compiled shaders in a cache folder that all Qt programs share, which no uninstaller can
    // tell apart; the console's are few and quick to compile.
    QCoreApplication::setAttribute(Qt::AA_DisableShaderDiskCache, true);
#endif
    QGuiApplication app(argc, argv);
    app.setWindowIcon(QIcon(QStringLiteral(":/app_icon")));
    QQmlApplicationEngine engine;
    DataExchange exchange;
    SettingsFileCheck::removeUnreadableValues();
    ApplicationSettingsModel appSettings;
    TranspondersListModel transpondersListModel;
    connectSettingsToLiveList(appSettings, transpondersListModel);
    // The first limit commands already use the stored RPM values.
    transpondersListModel.loadRpmSettings(appSettings.rpmSettings());

    QQmlContext *context = engine.rootContext();
    context->setContextProperty(QStringLiteral("appSettings"), &appSettings);
    context->setContextProperty(QStringLiteral("transpondersListModel"), &transpondersListModel);
    context->setContextProperty(QStringLiteral("retranlatorState"), exchange.linkState());
    TranspondersModel transpondersModel;
    context->setContextProperty(QStringLiteral("transpondersModel"), &transpondersModel);

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
    return app.exec();
}
