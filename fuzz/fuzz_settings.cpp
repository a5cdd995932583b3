// The settings store and the kart registry over arbitrary stored files and arbitrary JSON. Each input is an
// INI file (the store's format on Linux) followed by a run of operations: registry edits with JSON values of
// any type, RPM settings updates under any group and key, lookups. Checked: what loads follows the
// conversion rules whatever the file holds, the limit table always has its four keys, every registry edit
// is saved as "tr0".."trN-1", and what was saved comes back unchanged from a copy of the file on disk.
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSettings>
#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "app/wiring.h"
#include "fuzzsupport.h"
#include "models/applicationsettingsmodel.h"
#include "models/limitmodes.h"
#include "models/settingsfilecheck.h"
#include "models/settingsidentity.h"
#include "models/transponderslistmodel.h"
#include "models/transpondersmodel.h"
#include "net/protocol.h"

namespace {

using Item = TranspondersModel::Item;

const QString kartNumKey = QStringLiteral("kartNum");
const QString transponderIdKey = QStringLiteral("transponderId");

QSettings openStore() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, SettingsIdentity::organization(),
                     SettingsIdentity::application());
}

// A value as an integer by the conversion rules: numbers rounded when they fit, text holding a decimal
// integer that fits; nothing otherwise.
std::optional<int> ruleInteger(const QJsonValue &value) {
    if (value.isDouble())
        return FuzzSupport::roundedInt(value.toDouble());
    if (value.isString()) {
        bool ok = false;
        const int number = value.toString().toInt(&ok);
        return ok ? std::optional<int>(number) : std::nullopt;
    }
    return std::nullopt;
}

void applyByRules(Item &item, const QJsonObject &json) {
    if (json.contains(kartNumKey)) {
        const QJsonValue kartNum = json.value(kartNumKey);
        item.kartNum = kartNum.isString() ? kartNum.toString() : QString();
    }
    if (json.contains(transponderIdKey))
        item.transponderId = ruleInteger(json.value(transponderIdKey)).value_or(0);
}

QJsonObject itemJson(const Item &item) {
    return {{kartNumKey, item.kartNum},
            {transponderIdKey, item.transponderId != 0 ? QJsonValue(item.transponderId) : QJsonValue(QString())}};
}

bool sameItems(std::vector<Item> a, std::vector<Item> b, bool inOrder) {
    if (a.size() != b.size())
        return false;
    const auto less = [](const Item &x, const Item &y) {
        return x.transponderId != y.transponderId ? x.transponderId < y.transponderId : x.kartNum < y.kartNum;
    };
    if (!inOrder) {
        std::sort(a.begin(), a.end(), less);
        std::sort(b.begin(), b.end(), less);
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].kartNum != b[i].kartNum || a[i].transponderId != b[i].transponderId)
            return false;
    }
    return true;
}

std::vector<Item> registryItems(const TranspondersModel &registry) {
    std::vector<Item> items;
    for (int i = 0; i < registry.rowCount(); ++i) {
        const QVariant value = registry.data(registry.index(i), TranspondersModel::ItemRole);
        FUZZ_CHECK(value.userType() == QMetaType::QJsonObject);
        const QJsonObject json = value.toJsonObject();
        FUZZ_CHECK(json.size() == 2 && json.value(kartNumKey).isString());
        const QJsonValue id = json.value(transponderIdKey);
        // 0 shows as empty text, any other identifier as a whole number.
        FUZZ_CHECK((id.isString() && id.toString().isEmpty()) || (id.isDouble() && id.toInt() != 0));
        items.push_back({json.value(kartNumKey).toString(), id.toInt()});
    }
    return items;
}

// The entries that the store's "transponders" group holds, by the conversion rules, in the store's order.
std::vector<Item> storedRegistry() {
    QSettings store = openStore();
    store.beginGroup(QStringLiteral("transponders"));
    std::vector<Item> items;
    for (const QString &key : store.childKeys()) {
        const QVariant stored = store.value(key);
        Item item;
        if (stored.userType() == QMetaType::QVariantMap)
            applyByRules(item, QJsonObject::fromVariantMap(stored.toMap()));
        items.push_back(item);
    }
    return items;
}

// Everything the registry's group holds, to tell whether a settings update wrote into it.
QVariantMap registryGroupContent() {
    QSettings store = openStore();
    store.beginGroup(QStringLiteral("transponders"));
    QVariantMap content;
    for (const QString &key : store.allKeys())
        content.insert(key, store.value(key));
    return content;
}

// Whether the group holds exactly "tr0".."trN-1" with the entries' objects, as a save pass leaves it.
bool storeHoldsSaved(const std::vector<Item> &items) {
    QSettings store = openStore();
    store.beginGroup(QStringLiteral("transponders"));
    if (store.childKeys().size() != int(items.size()))
        return false;
    for (size_t i = 0; i < items.size(); ++i) {
        const QVariant stored = store.value(QStringLiteral("tr%1").arg(i));
        if (stored.userType() != QMetaType::QVariantMap ||
            QJsonObject::fromVariantMap(stored.toMap()) != itemJson(items[i]))
            return false;
    }
    return true;
}

// A loaded RPM value follows the stored one: the default when absent, the integer when the stored value
// holds one; a value that holds no integer loads as 0 or as the default, never as anything else.
void checkLoadedRpm(const QJsonObject &rpmSettings, const QString &key, int defaultRpm) {
    const QJsonValue loaded = rpmSettings.value(key);
    FUZZ_CHECK(loaded.isDouble() && std::trunc(loaded.toDouble()) == loaded.toDouble() &&
               loaded.toDouble() >= std::numeric_limits<int>::min() &&
               loaded.toDouble() <= std::numeric_limits<int>::max());
    const int rpm = loaded.toInt();
    QSettings store = openStore();
    const QVariant stored = store.value(QStringLiteral("rpmSettings/") + key);
    if (!stored.isValid()) {
        FUZZ_CHECK(rpm == defaultRpm);
        return;
    }
    std::optional<int> expected;
    switch (stored.userType()) {
        case QMetaType::QString: expected = ruleInteger(stored.toString()); break;
        case QMetaType::Bool:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Double:
        case QMetaType::Float:
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::Long:
        case QMetaType::ULong: expected = ruleInteger(stored.toDouble()); break;
        default: break;
    }
    if (expected)
        FUZZ_CHECK(rpm == *expected);
    else
        FUZZ_CHECK(rpm == 0 || rpm == defaultRpm);
}

void checkLoadedSettings(const ApplicationSettingsModel &settings) {
    const QJsonObject rpm = settings.rpmSettings();
    FUZZ_CHECK(rpm.size() == 2);
    checkLoadedRpm(rpm, QStringLiteral("p25RpmValue"), LimitModes::defaultP25Rpm);
    checkLoadedRpm(rpm, QStringLiteral("p50RpmValue"), LimitModes::defaultP50Rpm);
}

void checkTable(const QMap<QString, int> &expected) {
    FUZZ_CHECK(rpmByLimitMode == expected);
}

QJsonObject consumeRegistryEdit(FuzzedDataProvider &data) {
    QJsonObject edit;
    if (data.ConsumeBool())
        edit.insert(kartNumKey, data.ConsumeBool() ? QJsonValue(FuzzSupport::consumeText(data))
                                                   : FuzzSupport::consumeJsonValue(data));
    if (data.ConsumeBool()) {
        // The settings screen sends the field's text; anything else may arrive from a script.
        edit.insert(transponderIdKey, data.ConsumeBool() ? QJsonValue(QString::number(data.ConsumeIntegral<int>()))
                                                         : FuzzSupport::consumeJsonValue(data));
    }
    if (data.ConsumeIntegralInRange(0, 3) == 0)
        edit.insert(FuzzSupport::consumeText(data, 8), FuzzSupport::consumeJsonValue(data));
    return edit;
}

QString consumeGroup(FuzzedDataProvider &data) {
    switch (data.ConsumeIntegralInRange(0, 5)) {
        case 0: return QStringLiteral("transponders");
        case 1: return FuzzSupport::consumeText(data, 12);
        default: return QStringLiteral("rpmSettings");
    }
}

QString consumeSettingsKey(FuzzedDataProvider &data) {
    switch (data.ConsumeIntegralInRange(0, 4)) {
        case 0:
        case 1: return QStringLiteral("p25RpmValue");
        case 2: return QStringLiteral("p50RpmValue");
        case 3: return QStringLiteral("tr%1").arg(data.ConsumeIntegralInRange(0, 3));
        default: return FuzzSupport::consumeText(data, 12);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    FuzzSupport::initialize();
    QLoggingCategory::setFilterRules(QStringLiteral("zadar.*.debug=false\nzadar.settings.warning=false"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    const std::string file = data.ConsumeRandomLengthString(2048);

    const QString confPath = FuzzSupport::useSettingsStore(0, QByteArray::fromStdString(file));
    // As at start: values that cannot be read safely leave the file before anything reads it.
    SettingsFileCheck::removeUnreadableValues();

    QMap<QString, int> table{{QStringLiteral("p0"), 0},
                             {QStringLiteral("p25"), 0},
                             {QStringLiteral("p50"), 0},
                             {QStringLiteral("p100"), Protocol::unlimitedRpm}};
    std::vector<Item> items;
    bool registryGroupTouched = false;  // the settings store wrote into the registry's group
    {
        auto settings = std::make_unique<ApplicationSettingsModel>();
        auto registry = std::make_unique<TranspondersModel>();
        TranspondersListModel liveList;
        connectSettingsToLiveList(*settings, liveList);
        liveList.loadRpmSettings(settings->rpmSettings());

        checkLoadedSettings(*settings);
        QJsonObject rpmCache = settings->rpmSettings();
        table[QStringLiteral("p25")] = rpmCache.value(QStringLiteral("p25RpmValue")).toInt();
        table[QStringLiteral("p50")] = rpmCache.value(QStringLiteral("p50RpmValue")).toInt();
        checkTable(table);

        items = registryItems(*registry);
        FUZZ_CHECK(sameItems(items, storedRegistry(), false));

        for (int step = 0; step < 32 && data.remaining_bytes() > 0; ++step) {
            switch (data.ConsumeIntegralInRange(0, 6)) {
                case 0:
                    registry->addNewItem();
                    items.push_back(Item());
                    FUZZ_CHECK(storeHoldsSaved(items));
                    break;
                case 1: {
                    const int index = data.ConsumeBool() ? data.ConsumeIntegralInRange(-2, int(items.size()) + 1)
                                                         : data.ConsumeIntegral<int>();
                    registry->removeItem(index);
                    if (index >= 0 && index < int(items.size())) {
                        items.erase(items.begin() + index);
                        FUZZ_CHECK(storeHoldsSaved(items));
                    }
                    break;
                }
                case 2:
                case 3: {
                    const int index = data.ConsumeBool() ? data.ConsumeIntegralInRange(-2, int(items.size()) + 1)
                                                         : data.ConsumeIntegral<int>();
                    const QJsonObject edit = consumeRegistryEdit(data);
                    registry->updateData(index, edit);
                    if (index >= 0 && index < int(items.size())) {
                        applyByRules(items[size_t(index)], edit);
                        FUZZ_CHECK(storeHoldsSaved(items));
                    }
                    break;
                }
                case 4: {
                    const int id = !items.empty() && data.ConsumeBool()
                                       ? items[data.ConsumeIntegralInRange<size_t>(0, items.size() - 1)].transponderId
                                       : data.ConsumeIntegral<int>();
                    const auto first = std::find_if(items.cbegin(), items.cend(),
                                                    [id](const Item &item) { return item.transponderId == id; });
                    FUZZ_CHECK(registry->getKartNumByTransponderId(id) ==
                               (first != items.cend() ? first->kartNum : QString()));
                    break;
                }
                default: {
                    const QString group = consumeGroup(data);
                    QJsonObject values;
                    const int members = data.ConsumeIntegralInRange(0, 3);
                    for (int i = 0; i < members; ++i)
                        values.insert(consumeSettingsKey(data), FuzzSupport::consumeJsonValue(data));
                    const QVariantMap registryBefore = registryGroupContent();
                    settings->updateSettings(group, values);
                    if (registryGroupContent() != registryBefore)
                        registryGroupTouched = true;
                    if (group == QLatin1String("rpmSettings")) {
                        for (auto it = values.begin(); it != values.end(); ++it) {
                            rpmCache.insert(it.key(), it.value());
                            if (it.key() == QLatin1String("p25RpmValue"))
                                table[QStringLiteral("p25")] =
                                    ruleInteger(it.value())
                                        .value_or(it.value().isBool() ? int(it.value().toBool())
                                                                      : LimitModes::defaultP25Rpm);
                            else if (it.key() == QLatin1String("p50RpmValue"))
                                table[QStringLiteral("p50")] =
                                    ruleInteger(it.value())
                                        .value_or(it.value().isBool() ? int(it.value().toBool())
                                                                      : LimitModes::defaultP50Rpm);
                        }
                    }
                    FUZZ_CHECK(settings->rpmSettings() == rpmCache);
                    checkTable(table);
                    break;
                }
            }
            FUZZ_CHECK(sameItems(registryItems(*registry), items, true));
        }
        // Destroying the handles writes the file.
        registry.reset();
        settings.reset();
    }

    // A restart on a copy of the file: nothing may come from the in-process cache of parsed files.
    QFile written(confPath);
    FUZZ_CHECK(written.open(QIODevice::ReadOnly));
    const QByteArray writtenContents = written.readAll();
    // Everything the console writes, and everything it kept, reads safely.
    FUZZ_CHECK(SettingsFileCheck::unreadableValues(writtenContents).isEmpty());
    FuzzSupport::useSettingsStore(1, writtenContents);
    {
        ApplicationSettingsModel settings;
        checkLoadedSettings(settings);
        TranspondersModel registry;
        if (!registryGroupTouched)
            FUZZ_CHECK(sameItems(registryItems(registry), items, true));
        FUZZ_CHECK(sameItems(registryItems(registry), storedRegistry(), false));
    }
    return 0;
}
