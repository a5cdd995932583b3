#include "limitsource.h"

QString LimitSource::text() const {
    switch (kind) {
        case Click: return QStringLiteral("click");
        case Key: return QStringLiteral("key ") + name;
        case TimingFeed: return QStringLiteral("timing feed ") + name;
        case OtherConsole: return name;
        case OtherConsolesFeed: return QStringLiteral("timing feed via ") + name;
        case OwnCommand: return QString();
    }
    return QString();
}
