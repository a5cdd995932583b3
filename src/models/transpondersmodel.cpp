#include "transpondersmodel.h"

#include <QRegularExpression>
#include <algorithm>

#include "valueconversion.h"

namespace {

const QString registryGroup = QStringLiteral("transponders");
const QString kartNumKey = QStringLiteral("kartNum");
const QString transponderIdKey = QStringLiteral("transponderId");

int transponderIdFromJson(const QJsonValue &value) {
    if (!value.isDouble() && !value.isString())
        return 0;
    return variantToInt(value.toVariant()).value_or(0);
}

void applyJson(TranspondersModel::Item &item, const QJsonObject &json) {
    if (json.contains(kartNumKey))
        item.kartNum = json.value(kartNumKey).toString();
    if (json.contains(transponderIdKey))
        item.transponderId = transponderIdFromJson(json.value(transponderIdKey));
}

QJsonObject toJson(const TranspondersModel::Item &item) {
    return {{kartNumKey, item.kartNum},
            {transponderIdKey, item.transponderId != 0 ? QJsonValue(item.transponderId) : QJsonValue(QString())}};
}

// The number in a key "tr<digits>", or -1 for any other key.
qint64 entryNumber(const QString &key) {
    static const QRegularExpression entryKey(QStringLiteral("^tr([0-9]+)$"));
    const QRegularExpressionMatch match = entryKey.match(key);
    bool ok = false;
    const qint64 number = match.hasMatch() ? match.capturedRef(1).toLongLong(&ok) : -1;
    return ok ? number : -1;
}

// Entries come back in the order they were saved: "tr<number>" keys by their number (the store lists
// them as text, so "tr10" would come before "tr2"), then any other key in the store's order.
QStringList keysInSavedOrder(const QStringList &keys) {
    QVector<QPair<qint64, QString>> numbered;
    QStringList others;
    for (const QString &key : keys) {
        const qint64 number = entryNumber(key);
        if (number >= 0)
            numbered.append({number, key});
        else
            others.append(key);
    }
    std::stable_sort(numbered.begin(), numbered.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    QStringList ordered;
    ordered.reserve(keys.size());
    for (const auto &entry : qAsConst(numbered))
        ordered.append(entry.second);
    return ordered + others;
}

}  // namespace

TranspondersModel::TranspondersModel(QObject *parent) : QAbstractListModel(parent) {
    SettingsIdentity::readOwnFileOnly(m_settings);
    m_settings.beginGroup(registryGroup);
    const QStringList keys = keysInSavedOrder(m_settings.childKeys());
    for (const QString &key : keys) {
        const QVariant stored = m_settings.value(key);
        Item item;
        if (stored.userType() == QMetaType::QVariantMap)
            applyJson(item, QJsonObject::fromVariantMap(stored.toMap()));
        m_items.append(item);
    }
    m_settings.endGroup();
}

// Rows of a flat list have no children of their own.
int TranspondersModel::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : m_items.size();
}

QVariant TranspondersModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= m_items.size() || role != ItemRole)
        return {};
    return toJson(m_items.at(index.row()));
}

QHash<int, QByteArray> TranspondersModel::roleNames() const {
    return {{ItemRole, "item"}};
}

void TranspondersModel::addNewItem() {
    beginInsertRows(QModelIndex(), m_items.size(), m_items.size());
    m_items.append(Item());
    save();
    endInsertRows();
}

void TranspondersModel::removeItem(int index) {
    if (index < 0 || index >= m_items.size())
        return;
    beginRemoveRows(QModelIndex(), index, index);
    m_items.remove(index);
    save();
    endRemoveRows();
}

void TranspondersModel::updateData(int index, QJsonObject jsonData) {
    if (index < 0 || index >= m_items.size())
        return;
    applyJson(m_items[index], jsonData);
    save();
}

QString TranspondersModel::getKartNumByTransponderId(int transponderId) const {
    for (const Item &item : m_items) {
        if (item.transponderId == transponderId)
            return item.kartNum;
    }
    return {};
}

// Rewrites the whole group so that the stored keys always run from "tr0" in list order.
void TranspondersModel::save() {
    m_settings.beginGroup(registryGroup);
    const QStringList keys = m_settings.childKeys();
    for (const QString &key : keys)
        m_settings.remove(key);
    for (int i = 0; i < m_items.size(); ++i)
        m_settings.setValue(QStringLiteral("tr%1").arg(i), toJson(m_items.at(i)).toVariantMap());
    m_settings.endGroup();
}
