// A live list fed with whatever the network and the operator can produce: received datagrams (decoded, then
// applied as transponder reports and application commands), structured application commands with wrong
// types, huge or negative identifiers, nested objects and missing keys, and interleaved global and
// per-row limit choices, ageing sweeps, resets and RPM settings. QAbstractItemModelTester checks the
// model's structure on every change; a small model of the expected rows and signals checks its content.
#include <QAbstractItemModelTester>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QMetaObject>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "fuzzsupport.h"
#include "models/limitmodes.h"
#include "models/transponderslistmodel.h"
#include "net/datagramdecoder.h"
#include "net/protocol.h"

namespace {

using Model = TranspondersListModel;

struct Event {
    enum Kind { SetTransponderLimit, UpdateTranspondersLimit, ResendCommand, LimitModeChanged, RpmLimitsChanged };
    Kind kind;
    int first = 0;
    int second = 0;
    QJsonObject json{};
    QString text{};

    bool operator==(const Event &o) const {
        return kind == o.kind && first == o.first && second == o.second && json == o.json && text == o.text;
    }
};

struct ExpectedRow {
    int id;
    int rpm;
    int limit;
    int rssi;
    int target;
    QString mode;
    qint64 lastMs;
    bool online;
};

// The rows and signals that the rules for the live list and the limit control call for.
class Expected {
public:
    std::vector<ExpectedRow> rows;
    QString globalMode;
    QMap<QString, int> table{{QStringLiteral("p0"), 0},
                             {QStringLiteral("p25"), LimitModes::defaultP25Rpm},
                             {QStringLiteral("p50"), LimitModes::defaultP50Rpm},
                             {QStringLiteral("p100"), Protocol::unlimitedRpm}};
    std::vector<Event> events;

    void resolve(ExpectedRow &row, const QString &mode) {
        row.mode = mode;
        if (!mode.isEmpty() && mode.startsWith(QLatin1Char('p')) && table.contains(mode))
            row.target = table.value(mode);
    }

    void report(const TransponderState &ts, qint64 now) {
        for (ExpectedRow &row : rows) {
            if (row.id != ts.transponderId)
                continue;
            row.rpm = ts.rpmValue;
            row.limit = ts.limitValue;
            row.rssi = ts.rssiValue;
            if (ts.limitValue != row.target)
                events.push_back({Event::SetTransponderLimit, ts.transponderId, row.target});
            row.lastMs = now;
            row.online = true;
            return;
        }
        ExpectedRow row{ts.transponderId, ts.rpmValue, ts.limitValue, ts.rssiValue, 10000, {}, now, true};
        resolve(row, globalMode);
        rows.push_back(row);
        events.push_back({Event::SetTransponderLimit, row.id, row.target});
    }

    void setLimitMode(const QString &mode, bool updateController) {
        if (!table.contains(mode))
            return;
        globalMode = mode;
        for (ExpectedRow &row : rows)
            resolve(row, mode);
        events.push_back({Event::UpdateTranspondersLimit, table.value(mode), int(updateController)});
        if (updateController) {
            events.push_back({Event::ResendCommand, 0, 0,
                              QJsonObject{{QStringLiteral("appCommand"), QStringLiteral("globalRpmLimit")},
                                          {QStringLiteral("value"), mode}}});
        } else {
            events.push_back({Event::LimitModeChanged, 0, 0, {}, mode});
        }
    }

    bool setData(int row, const QVariant &value, int role, bool readsAsMinusOne) {
        if (row < 0 || row >= int(rows.size()) || role != Model::LimitModeRole || readsAsMinusOne)
            return false;
        ExpectedRow &r = rows[size_t(row)];
        resolve(r, value.toString());
        events.push_back({Event::ResendCommand, 0, 0,
                          QJsonObject{{QStringLiteral("appCommand"), QStringLiteral("transponderLimit")},
                                      {QStringLiteral("transponderId"), r.id},
                                      {QStringLiteral("value"), value.toString()}}});
        events.push_back({Event::SetTransponderLimit, r.id, r.target});
        return true;
    }

    void remoteCommand(const QJsonObject &json) {
        const QJsonValue command = json.value(QStringLiteral("appCommand"));
        const QString name = command.isString() ? command.toString() : QString();
        if (name == QLatin1String("globalRpmLimit")) {
            setLimitMode(textOrEmpty(json.value(QStringLiteral("value"))), false);
        } else if (name == QLatin1String("transponderLimit")) {
            const int id = wholeNumberOrZero(json.value(QStringLiteral("transponderId")));
            if (id == 0)
                return;
            for (ExpectedRow &row : rows) {
                if (row.id == id) {
                    resolve(row, textOrEmpty(json.value(QStringLiteral("value"))));
                    return;
                }
            }
        }
    }

    void sweep(qint64 now) {
        for (size_t i = 0; i < rows.size();) {
            const qint64 silent = now - rows[i].lastMs;
            if (silent >= 5000)
                rows[i].online = false;
            if (silent >= 120000) {
                rows.erase(rows.begin() + long(i));
                continue;
            }
            ++i;
        }
    }

    void loadRpmSettings(const QJsonObject &settings) {
        const int p25 = wholeNumberOrZero(settings.value(QStringLiteral("p25RpmValue")), LimitModes::defaultP25Rpm);
        const int p50 = wholeNumberOrZero(settings.value(QStringLiteral("p50RpmValue")), LimitModes::defaultP50Rpm);
        table[QStringLiteral("p25")] = p25;
        table[QStringLiteral("p50")] = p50;
    }

    void updateSettings(const QString &group, const QJsonObject &json) {
        if (group != QLatin1String("rpmSettings"))
            return;
        for (auto it = json.begin(); it != json.end(); ++it) {
            if (it.key() == QLatin1String("p25RpmValue"))
                table[QStringLiteral("p25")] = convertedOr(it.value(), LimitModes::defaultP25Rpm);
            else if (it.key() == QLatin1String("p50RpmValue"))
                table[QStringLiteral("p50")] = convertedOr(it.value(), LimitModes::defaultP50Rpm);
        }
        QJsonObject limits;
        for (auto it = table.begin(); it != table.end(); ++it)
            limits.insert(it.key(), it.value());
        events.push_back({Event::RpmLimitsChanged, 0, 0, limits});
    }

    static QString textOrEmpty(const QJsonValue &value) { return value.isString() ? value.toString() : QString(); }

    // A JSON number with a whole value inside the integer range; `fallback` for anything else.
    static int wholeNumberOrZero(const QJsonValue &value, int fallback = 0) {
        if (!value.isDouble())
            return fallback;
        const double d = value.toDouble();
        if (!std::isfinite(d) || std::trunc(d) != d || d < std::numeric_limits<int>::min() ||
            d > std::numeric_limits<int>::max())
            return fallback;
        return int(d);
    }

    // A settings value as an integer: numbers rounded when they fit the integer range, text that holds a
    // decimal integer in range, booleans as 0 and 1; `fallback` for anything else.
    static int convertedOr(const QJsonValue &value, int fallback) {
        if (value.isDouble())
            return FuzzSupport::roundedInt(value.toDouble()).value_or(fallback);
        if (value.isString()) {
            bool ok = false;
            const int number = value.toString().toInt(&ok);
            return ok ? number : fallback;
        }
        if (value.isBool())
            return value.toBool() ? 1 : 0;
        return fallback;
    }
};

class Feeder final : public DatagramHandler {
public:
    Feeder(Model &model, Expected &expected, qint64 now) : m_model(model), m_expected(expected), m_now(now) {}
    void applicationCommand(const QJsonObject &command) override {
        m_expected.remoteCommand(command);
        m_model.remoteAppCommand(command);
    }
    void statusFrame(quint16) override {}
    void transponderFrame(const TransponderState &state) override {
        m_expected.report(state, m_now);
        m_model.updateTransponderState(state);
    }

private:
    Model &m_model;
    Expected &m_expected;
    qint64 m_now;
};

QString describe(const std::vector<Event> &events) {
    QStringList lines;
    for (const Event &e : events) {
        lines << QStringLiteral("%1(%2, %3) %4 %5")
                     .arg(int(e.kind))
                     .arg(e.first)
                     .arg(e.second)
                     .arg(QString::fromUtf8(QJsonDocument(e.json).toJson(QJsonDocument::Compact)), e.text);
    }
    return lines.join(QLatin1Char('\n'));
}

void checkModel(const Model &model, const Expected &expected, const std::vector<Event> &events) {
    FUZZ_CHECK(model.rowCount() == int(expected.rows.size()));
    for (int i = 0; i < model.rowCount(); ++i) {
        const QModelIndex index = model.index(i);
        const ExpectedRow &row = expected.rows[size_t(i)];
        FUZZ_CHECK(model.data(index, Model::TransponderIdRole).toInt() == row.id);
        FUZZ_CHECK(model.data(index, Model::NumRole).toString().isEmpty());
        FUZZ_CHECK(model.data(index, Model::RpmValueRole).toInt() == row.rpm);
        FUZZ_CHECK(model.data(index, Model::LimitValueRole).toInt() == row.limit);
        FUZZ_CHECK(model.data(index, Model::RssiValueRole).toInt() == row.rssi);
        FUZZ_CHECK(model.data(index, Model::TargetLimitValueRole).toInt() == row.target);
        FUZZ_CHECK(model.data(index, Model::LimitModeRole).toString() == row.mode);
        FUZZ_CHECK(model.data(index, Model::LimitOkRole).toBool() == (row.limit == row.target));
        FUZZ_CHECK(model.data(index, Model::IsTransponderOnlineRole).toBool() == row.online);
        FUZZ_CHECK(!model.data(index, Model::NumRole - 1).isValid());
        FUZZ_CHECK(!model.data(index, Model::RssiValueRole + 1).isValid());
    }
    FUZZ_CHECK(!model.data(model.index(model.rowCount()), Model::TransponderIdRole).isValid());
    FUZZ_CHECK(model.limitMode() == expected.globalMode);
    if (rpmByLimitMode != expected.table) {
        std::fprintf(stderr, "table p25 %d p50 %d, expected p25 %d p50 %d\n",
                     rpmByLimitMode.value(QStringLiteral("p25")), rpmByLimitMode.value(QStringLiteral("p50")),
                     expected.table.value(QStringLiteral("p25")), expected.table.value(QStringLiteral("p50")));
    }
    FUZZ_CHECK(rpmByLimitMode == expected.table);
    if (events != expected.events) {
        std::fprintf(stderr, "signals:\n%s\nexpected:\n%s\n", qPrintable(describe(events)),
                     qPrintable(describe(expected.events)));
    }
    FUZZ_CHECK(events == expected.events);
}

TransponderState consumeState(FuzzedDataProvider &data, const Expected &expected) {
    TransponderState ts{};
    if (!expected.rows.empty() && data.ConsumeBool())
        ts.transponderId = expected.rows[data.ConsumeIntegralInRange<size_t>(0, expected.rows.size() - 1)].id;
    else
        ts.transponderId = data.ConsumeBool() ? data.ConsumeIntegralInRange(0, 8) : data.ConsumeIntegral<int>();
    ts.rpmValue = data.ConsumeIntegral<int>();
    ts.limitValue = data.ConsumeBool() ? Protocol::unlimitedRpm : data.ConsumeIntegral<int>();
    ts.rssiValue = data.ConsumeIntegral<int>();
    return ts;
}

QJsonObject consumeCommand(FuzzedDataProvider &data, const Expected &expected) {
    QJsonObject command;
    switch (data.ConsumeIntegralInRange(0, 4)) {
        case 0: command.insert(QStringLiteral("appCommand"), QStringLiteral("globalRpmLimit")); break;
        case 1:
        case 2: command.insert(QStringLiteral("appCommand"), QStringLiteral("transponderLimit")); break;
        case 3: command.insert(QStringLiteral("appCommand"), FuzzSupport::consumeJsonValue(data)); break;
        default: break;  // no "appCommand" at all
    }
    if (data.ConsumeBool())
        command.insert(QStringLiteral("value"), data.ConsumeBool() ? QJsonValue(FuzzSupport::consumeText(data))
                                                                   : FuzzSupport::consumeJsonValue(data));
    switch (data.ConsumeIntegralInRange(0, 3)) {
        case 0:
            if (!expected.rows.empty()) {
                const int id = expected.rows[data.ConsumeIntegralInRange<size_t>(0, expected.rows.size() - 1)].id;
                command.insert(QStringLiteral("transponderId"),
                               data.ConsumeBool() ? QJsonValue(id) : QJsonValue(QString::number(id)));
            }
            break;
        case 1: command.insert(QStringLiteral("transponderId"), FuzzSupport::consumeJsonValue(data)); break;
        case 2: command.insert(QStringLiteral("transponderId"), data.ConsumeIntegral<int>()); break;
        default: break;
    }
    const int extras = data.ConsumeIntegralInRange(0, 2);
    for (int i = 0; i < extras; ++i)
        command.insert(FuzzSupport::consumeText(data, 8), FuzzSupport::consumeJsonValue(data));
    return command;
}

// A value that a row write may carry, and whether it reads as the integer -1 (such writes are refused).
QVariant consumeRowValue(FuzzedDataProvider &data, bool &readsAsMinusOne) {
    readsAsMinusOne = false;
    switch (data.ConsumeIntegralInRange(0, 3)) {
        case 0: {
            const QString text = FuzzSupport::consumeText(data);
            bool ok = false;
            readsAsMinusOne = text.toInt(&ok) == -1 && ok;
            return text;
        }
        case 1: {
            const int number = data.ConsumeBool() ? -1 : data.ConsumeIntegral<int>();
            readsAsMinusOne = number == -1;
            return number;
        }
        case 2: {
            static const double numbers[] = {-1.0,  0.0,    25.0,         2300.0,
                                             1e300, -1e300, 4294967295.0, std::numeric_limits<double>::quiet_NaN()};
            const double number = numbers[data.ConsumeIntegralInRange<size_t>(0, std::size(numbers) - 1)];
            readsAsMinusOne = number == -1.0;
            return number;
        }
        default: return QVariant();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    FuzzSupport::initialize();
    QLoggingCategory::setFilterRules(QStringLiteral("zadar.*.debug=false"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    qint64 now = 1700000000000LL + data.ConsumeIntegralInRange<qint64>(0, 1000000000LL);

    Model model([&now] { return now; });
    Expected expected;
    std::vector<Event> events;
    QObject::connect(&model, &Model::setTransponderLimit, [&](int id, int limit) {
        events.push_back({Event::SetTransponderLimit, id, limit});
    });
    QObject::connect(&model, &Model::updateTranspondersLimit, [&](int limit, bool updateController) {
        events.push_back({Event::UpdateTranspondersLimit, limit, int(updateController)});
    });
    QObject::connect(&model, &Model::resendCommandToApps, [&](const QJsonObject &json) {
        events.push_back({Event::ResendCommand, 0, 0, json});
    });
    QObject::connect(&model, &Model::limitModeChanged, [&](const QString &mode) {
        events.push_back({Event::LimitModeChanged, 0, 0, {}, mode});
    });
    QObject::connect(&model, &Model::rpmLimitsChanged, [&](const QJsonObject &json) {
        events.push_back({Event::RpmLimitsChanged, 0, 0, json});
    });
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Warning);

    // The limit table is process-wide: every input starts from the defaults.
    model.loadRpmSettings({});
    checkModel(model, expected, events);

    for (int step = 0; step < 64 && data.remaining_bytes() > 0; ++step) {
        switch (data.ConsumeIntegralInRange(0, 10)) {
            case 0: {
                const std::string datagram = data.ConsumeRandomLengthString(160);
                if (datagram.empty())
                    break;
                Feeder feeder(model, expected, now);
                decodeDatagram(datagram.data(), qsizetype(datagram.size()), feeder);
                break;
            }
            case 1:
            case 2: {
                const TransponderState ts = consumeState(data, expected);
                expected.report(ts, now);
                model.updateTransponderState(ts);
                break;
            }
            case 3: {
                const QJsonObject command = consumeCommand(data, expected);
                expected.remoteCommand(command);
                model.remoteAppCommand(command);
                break;
            }
            case 4: {
                const QString mode = FuzzSupport::consumeText(data);
                const bool updateController = data.ConsumeBool();
                expected.setLimitMode(mode, updateController);
                model.setLimitMode(mode, updateController);
                break;
            }
            case 5: {
                // What QML does when a global button writes the property.
                const QString mode = FuzzSupport::consumeText(data);
                expected.setLimitMode(mode, true);
                model.setProperty("limitMode", mode);
                break;
            }
            case 6: {
                const int row = data.ConsumeIntegralInRange(-2, model.rowCount() + 1);
                const int role = data.ConsumeBool() ? int(Model::LimitModeRole) : data.ConsumeIntegral<int>();
                bool readsAsMinusOne = false;
                const QVariant value = consumeRowValue(data, readsAsMinusOne);
                const bool expectedResult = expected.setData(row, value, role, readsAsMinusOne);
                const QModelIndex index = row >= 0 && row < model.rowCount() ? model.index(row) : QModelIndex();
                FUZZ_CHECK(model.setData(index, value, role) == expectedResult);
                break;
            }
            case 7: {
                now += data.ConsumeBool() ? data.ConsumeIntegralInRange<qint64>(2000, 3000)
                                          : data.ConsumeIntegralInRange<qint64>(-5000, 200000);
                expected.sweep(now);
                FUZZ_CHECK(QMetaObject::invokeMethod(&model, "refreshList", Qt::DirectConnection));
                break;
            }
            case 8:
                expected.rows.clear();
                model.resetData();
                break;
            case 9: {
                const QString group = data.ConsumeIntegralInRange(0, 3) != 0 ? QStringLiteral("rpmSettings")
                                                                             : FuzzSupport::consumeText(data);
                QJsonObject values;
                const int members = data.ConsumeIntegralInRange(0, 3);
                for (int i = 0; i < members; ++i) {
                    const QString key = data.ConsumeBool()   ? QStringLiteral("p25RpmValue")
                                        : data.ConsumeBool() ? QStringLiteral("p50RpmValue")
                                                             : FuzzSupport::consumeText(data, 8);
                    values.insert(key, FuzzSupport::consumeJsonValue(data));
                }
                if (qEnvironmentVariableIsSet("FUZZ_TRACE"))
                    std::fprintf(stderr, "updateSettings %s %s\n", qPrintable(group),
                                 QJsonDocument(values).toJson(QJsonDocument::Compact).constData());
                expected.updateSettings(group, values);
                model.updateSettings(group, values);
                break;
            }
            default: {
                QJsonObject settings;
                if (data.ConsumeBool())
                    settings.insert(QStringLiteral("p25RpmValue"), FuzzSupport::consumeJsonValue(data));
                if (data.ConsumeBool())
                    settings.insert(QStringLiteral("p50RpmValue"), FuzzSupport::consumeJsonValue(data));
                if (qEnvironmentVariableIsSet("FUZZ_TRACE"))
                    std::fprintf(stderr, "loadRpmSettings %s\n",
                                 QJsonDocument(settings).toJson(QJsonDocument::Compact).constData());
                expected.loadRpmSettings(settings);
                model.loadRpmSettings(settings);
                break;
            }
        }
        checkModel(model, expected, events);
        FUZZ_CHECK(rpmByLimitMode.size() == 4 && rpmByLimitMode.value(QStringLiteral("p0")) == 0 &&
                   rpmByLimitMode.value(QStringLiteral("p100")) == Protocol::unlimitedRpm);
    }
    return 0;
}
