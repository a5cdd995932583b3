#include "fuzzsupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>

namespace {

QTemporaryDir *settingsRoot = nullptr;

void quietMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "fatal: %s\n", qPrintable(message));
        std::abort();
    }
    // QAbstractItemModelTester runs in its Warning mode and reports every broken model invariant as a
    // warning of this category: each one fails the input.
    if (type == QtWarningMsg && qstrcmp(context.category, "qt.modeltest") == 0) {
        std::fprintf(stderr, "model tester: %s\n", qPrintable(message));
        std::abort();
    }
}

}  // namespace

namespace FuzzSupport {

void initialize() {
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    // In memory where possible: every settings write ends in an fsync.
    const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    settingsRoot = new QTemporaryDir(base + QStringLiteral("/deviv-fuzz-XXXXXX"));
    if (!settingsRoot->isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder for the settings store\n");
        std::abort();
    }
    // Set before the first QSettings object exists, so nothing ever touches the user's real store.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(settingsRoot->path()));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsRoot->path());
    qInstallMessageHandler(quietMessageHandler);
    new QCoreApplication(argc, argv);  // lives as long as the process
    std::atexit([] {
        delete QCoreApplication::instance();
        delete settingsRoot;
    });
}

void check(bool condition, const char *what) {
    if (condition)
        return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

QString useSettingsStore(int slot, const QByteArray &contents) {
    const QString dir = settingsRoot->filePath(QString::number(slot));
    QDir().mkpath(dir + QStringLiteral("/deviv"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir);
    const QString path = dir + QStringLiteral("/deviv/zadar.conf");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) != contents.size() ||
        !file.flush()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::abort();
    }
    // QSettings rereads a cached file only when its size or modification time (in milliseconds) changed, and
    // two inputs of one size can be written within a millisecond: the file gets a stamp of its own, counting up
    // from 2000, after its bytes are out (a write flushed later would stamp the current time again).
    static qint64 stamp = QDateTime(QDate(2000, 1, 1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
    stamp += 1000;
    file.setFileTime(QDateTime::fromMSecsSinceEpoch(stamp, Qt::UTC), QFileDevice::FileModificationTime);
    return path;
}

std::optional<int> roundedInt(double number) {
    // Halves at the ends of the range count as outside it.
    if (!std::isfinite(number) || number <= double(std::numeric_limits<int>::min()) - 0.5 ||
        number >= double(std::numeric_limits<int>::max()) + 0.5)
        return std::nullopt;
    return int(std::floor(number + 0.5));
}

QString consumeText(FuzzedDataProvider &data, size_t maxUnits) {
    switch (data.ConsumeIntegralInRange(0, 5)) {
        case 0: return QStringLiteral("p25");
        case 1: return QStringLiteral("p50");
        case 2: {
            static const char *const modes[] = {"p0", "p100", "p", "", "P25", "p25 ", "-1", "0", "2300"};
            return QString::fromLatin1(modes[data.ConsumeIntegralInRange<size_t>(0, std::size(modes) - 1)]);
        }
        case 3: {
            const std::string bytes = data.ConsumeRandomLengthString(maxUnits * 2);
            return QString::fromUtf8(bytes.data(), int(bytes.size()));
        }
        case 4: {
            const size_t units = data.ConsumeIntegralInRange<size_t>(0, maxUnits);
            QString text;
            for (size_t i = 0; i < units && data.remaining_bytes() > 0; ++i)
                text.append(QChar(data.ConsumeIntegral<char16_t>()));
            return text;
        }
        default: return QString::number(data.ConsumeIntegral<qint64>());
    }
}

QJsonValue consumeJsonValue(FuzzedDataProvider &data, int depth) {
    switch (data.ConsumeIntegralInRange(0, depth > 0 ? 11 : 9)) {
        case 0: return QJsonValue(data.ConsumeIntegral<int>());
        case 1: return QJsonValue(double(data.ConsumeIntegral<qint64>()));
        case 2: return QJsonValue(data.ConsumeFloatingPoint<double>());
        case 3: {
            static const double specials[] = {0.5,
                                              -0.5,
                                              -1.0,
                                              2147483647.0,
                                              2147483647.5,
                                              2147483648.0,
                                              -2147483648.0,
                                              -2147483648.5,
                                              -2147483649.0,
                                              4294967295.0,
                                              1e300,
                                              -1e300,
                                              std::numeric_limits<double>::infinity(),
                                              -std::numeric_limits<double>::infinity(),
                                              std::numeric_limits<double>::quiet_NaN(),
                                              std::numeric_limits<double>::denorm_min()};
            return QJsonValue(specials[data.ConsumeIntegralInRange<size_t>(0, std::size(specials) - 1)]);
        }
        case 4:
        case 5: return QJsonValue(consumeText(data));
        case 6: return QJsonValue(QString::number(data.ConsumeIntegral<int>()));
        case 7: return QJsonValue(data.ConsumeBool());
        case 8: return QJsonValue(QJsonValue::Null);
        case 9: return QJsonValue(QJsonValue::Undefined);
        case 10: {
            QJsonObject object;
            const int members = data.ConsumeIntegralInRange(0, 4);
            for (int i = 0; i < members; ++i)
                object.insert(consumeText(data, 12), consumeJsonValue(data, depth - 1));
            return object;
        }
        default: {
            QJsonArray array;
            const int items = data.ConsumeIntegralInRange(0, 4);
            for (int i = 0; i < items; ++i)
                array.append(consumeJsonValue(data, depth - 1));
            return array;
        }
    }
}

}  // namespace FuzzSupport
